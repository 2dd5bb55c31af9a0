#include "plan_apply.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kernel_simd.h"
#include "threads.h"

namespace wavesim {
namespace {

int popcount(uint64_t x) { return __builtin_popcountll(x); }

// Trailing one bits: the length of the run of lowest qubits in a set.
int trailing_ones(uint64_t x) { return ~x == 0 ? 64 : __builtin_ctzll(~x); }

// Bits of `value`, lowest first, placed at the set positions of `mask`.
uint64_t deposit(uint64_t value, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t m = mask; m != 0 && value != 0; m &= m - 1, value >>= 1)
        if (value & 1) out |= m & (~m + 1);
    return out;
}

// Position of qubit q among the qubits of `window`, counted from the lowest.
int position_in(uint64_t window, int q) { return popcount(window & (bit(q) - 1)); }

uint64_t remap_mask(uint64_t window, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t m = mask; m != 0; m &= m - 1) out |= bit(position_in(window, __builtin_ctzll(m)));
    return out;
}

KernelCall remap_call(uint64_t window, KernelCall call) {
    for (int j = 0; j < call.num_targets; ++j) call.targets[j] = position_in(window, call.targets[j]);
    call.ones = remap_mask(window, call.ones);
    call.zeros = remap_mask(window, call.zeros);
    return call;
}

// Block size for a state: at most the shape's, and small enough that every
// thread of the rule's team gets a block.
int block_qubits_for(unsigned num_qubits, int threads, int shape_qubits) {
    int spread = 0;  // ceil(log2(threads))
    while ((1 << spread) < threads) ++spread;
    return std::max(0, std::min(shape_qubits, int(num_qubits) - spread));
}

template <typename Real>
using Scratch = AlignedArray<Real>;

// Both arrays of 2^qubits amplitudes, aligned as a state; empty when the memory is not there.
template <typename Real>
Scratch<Real> allocate_scratch(int qubits) {
    return allocate_aligned<Real>(size_t{2} << qubits);
}

// One gathered block per thread, allocated once per plan outside any region.
template <typename Real>
struct BlockScratch {
    std::vector<Scratch<Real>> buffers;
    uint64_t dim = 0;

    void reserve(int threads, int block_qubits) {
        if (!buffers.empty() && dim == uint64_t{1} << block_qubits) return;
        buffers.clear();
        dim = uint64_t{1} << block_qubits;
        for (int t = 0; t < threads; ++t) {
            buffers.push_back(allocate_scratch<Real>(block_qubits));
            if (!buffers.back()) throw std::bad_alloc();
        }
    }
};

struct Window {
    size_t end = 0;       // first step after the window
    uint64_t qubits = 0;  // W
    size_t gates = 0;
};

// The longest run of gates in [begin, end) whose qubits fit in `block_qubits`
// together with the lowest `low_qubits`; steps without effect stay inside.
Window find_window(const std::vector<PlanStep>& steps, size_t begin, size_t end, int block_qubits, int low_qubits) {
    Window w;
    w.qubits = bit(std::min(low_qubits, block_qubits)) - 1;
    size_t i = begin;
    for (; i < end; ++i) {
        const PlanStep& step = steps[i];
        if (step.kind == OperationKind::kNoEffect) continue;
        if (step.kind != OperationKind::kGate) break;
        const uint64_t next = w.qubits | step.qubits;
        if (popcount(next) > block_qubits) break;
        w.qubits = next;
        ++w.gates;
    }
    w.end = i;
    return w;
}

// W filled up with the lowest qubits it lacks until it has `block_qubits`.
uint64_t fill_window(uint64_t qubits, int block_qubits) {
    for (int q = 0; popcount(qubits) < block_qubits; ++q) qubits |= bit(q);
    return qubits;
}

template <typename Real>
void copy_chunks(Real* block, Real* state, uint64_t base, uint64_t high, uint64_t chunk, bool gather) {
    uint64_t offset = 0;
    Real* slot = block;
    do {
        if (gather) std::memcpy(slot, state + base + offset, chunk * sizeof(Real));
        else std::memcpy(state + base + offset, slot, chunk * sizeof(Real));
        slot += chunk;
        offset = ((offset | ~high) + 1) & high;  // next subset of `high`, ascending
    } while (offset != 0);
}

// Applies the gates among steps [begin, end), all of whose qubits lie in
// `window` (block_qubits qubits, the lowest kLogWidth among them), block by block.
template <typename Real>
void apply_window(StateVector<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                  uint64_t window, int threads, BlockScratch<Real>& scratch) {
    const int block_qubits = popcount(window);
    std::vector<KernelCall> calls;
    for (size_t i = begin; i < end; ++i)
        if (steps[i].kind == OperationKind::kGate) calls.push_back(remap_call(window, steps[i].call));

    const int low = trailing_ones(window);
    const uint64_t high = window & ~(bit(low) - 1);
    const uint64_t outside = (state.dim - 1) & ~window;
    const int64_t blocks = int64_t{1} << (int(state.num_qubits) - block_qubits);
    const bool gathered = high != 0;
    if (gathered) scratch.reserve(threads, block_qubits);
    const uint64_t chunk = bit(low);

    auto run_block = [&](int64_t b, int thread) {
        const uint64_t base = deposit(uint64_t(b), outside);
        Real* re = state.re + base;
        Real* im = state.im + base;
        if (gathered) {
            re = scratch.buffers[size_t(thread)].get();
            im = re + scratch.dim;
            copy_chunks(re, state.re, base, high, chunk, true);
            copy_chunks(im, state.im, base, high, chunk, true);
        }
        StateVector<Real> view(unsigned(block_qubits), re, im);
        for (const KernelCall& call : calls) run_kernel_call(view, call, KernelExec::kCallingThread);
        if (gathered) {
            copy_chunks(re, state.re, base, high, chunk, false);
            copy_chunks(im, state.im, base, high, chunk, false);
        }
    };
    if (blocks == 1 || threads == 1) {
        for (int64_t b = 0; b < blocks; ++b) run_block(b, 0);
        return;
    }
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t b = 0; b < blocks; ++b) run_block(b, omp_get_thread_num());
}

// The thread rule's team and the block of a shape for a state of n qubits.
struct BlockLimits {
    int threads;
    int block_qubits;
    int low_qubits;
};

template <typename Real>
BlockLimits block_limits(unsigned n, WindowShape shape) {
    const int threads = thread_count_for(int(n));
    // The lowest qubits must keep their positions inside a block (lane
    // permutes and masks of the kernels); a block narrower than a register
    // only occurs when the block is the whole state.
    return {threads, block_qubits_for(n, threads, shape.block_qubits),
            std::max(shape.low_qubits, Simd<Real>::kLogWidth)};
}

// One level of windows over the gates among steps [begin, end) (no RESET or
// MEASURE among them). Returns the sweeps over the state.
template <typename Real>
size_t apply_windows(StateVector<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                     WindowShape shape, BlockScratch<Real>& scratch) {
    const unsigned n = state.num_qubits;
    const BlockLimits limits = block_limits<Real>(n, shape);
    const int block_qubits = limits.block_qubits;
    size_t sweeps = 0;
    size_t i = begin;
    while (i < end) {
        if (steps[i].kind != OperationKind::kGate) {
            ++i;
            continue;
        }
        const Window w = find_window(steps, i, end, block_qubits, limits.low_qubits);
        ++sweeps;
        if (block_qubits < int(n) && w.gates <= 1) {
            // One gate is one pass either way: the kernel's own region over the whole state.
            run_kernel_call(state, steps[i].call, KernelExec::kParallel);
            ++i;
            continue;
        }
        apply_window(state, steps, i, w.end, fill_window(w.qubits, block_qubits), limits.threads, scratch);
        i = w.end;
    }
    return sweeps;
}

// A region of the state kept in the last-level cache while a run of gates
// goes through it window by window, allocated once per plan.
template <typename Real>
struct RegionScratch {
    Scratch<Real> buffer;
    uint64_t dim = 0;

    // False when the memory is not there: the caller then goes without regions.
    bool reserve(int region_qubits) {
        if (buffer) return true;
        dim = uint64_t{1} << region_qubits;
        buffer = allocate_scratch<Real>(region_qubits);
        return bool(buffer);
    }
};

// Moves the chunks of one region between the state and the region's scratch,
// threads splitting the chunks.
template <typename Real>
void copy_region(Real* region, Real* state, uint64_t base, uint64_t high, int low, int64_t chunks, int threads,
                 bool gather) {
    const uint64_t chunk = bit(low);
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int64_t k = 0; k < chunks; ++k) {
        Real* slot = region + uint64_t(k) * chunk;
        Real* place = state + base + deposit(uint64_t(k), high);
        if (gather) std::memcpy(slot, place, chunk * sizeof(Real));
        else std::memcpy(place, slot, chunk * sizeof(Real));
    }
}

// Gates among steps [begin, end), whose qubits lie in `region` (the lowest
// qubits among them), applied region by region: each region is gathered into
// the scratch, goes through every gate with one level of windows as a state
// of its own (its qubits renumbered in order), and is scattered back.
template <typename Real>
void apply_region_windows(StateVector<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                          uint64_t region, WindowShape inner, RegionScratch<Real>& scratch,
                          BlockScratch<Real>& blocks) {
    std::vector<PlanStep> local;
    for (size_t i = begin; i < end; ++i)
        if (steps[i].kind == OperationKind::kGate) {
            PlanStep step = steps[i];
            step.call = remap_call(region, step.call);
            step.qubits = remap_mask(region, step.qubits);
            local.push_back(step);
        }
    const int region_qubits = popcount(region);
    const int low = trailing_ones(region);
    const uint64_t high = region & ~(bit(low) - 1);
    const uint64_t outside = (state.dim - 1) & ~region;
    const int64_t chunks = int64_t{1} << (region_qubits - low);
    const int threads = thread_count_for(int(state.num_qubits));
    StateVector<Real> view(unsigned(region_qubits), scratch.buffer.get(), scratch.buffer.get() + scratch.dim);
    for (uint64_t r = 0; r >> (int(state.num_qubits) - region_qubits) == 0; ++r) {
        const uint64_t base = deposit(r, outside);
        copy_region(view.re, state.re, base, high, low, chunks, threads, true);
        copy_region(view.im, state.im, base, high, low, chunks, threads, true);
        apply_windows(view, local, 0, local.size(), inner, blocks);
        copy_region(view.re, state.re, base, high, low, chunks, threads, false);
        copy_region(view.im, state.im, base, high, low, chunks, threads, false);
    }
}

// The gates among steps [begin, end) (no RESET or MEASURE among them). With
// regions in the shape, a run of gates that one window of blocks cannot hold
// but a region can goes region by region, its blocks applied in place inside
// the region; every other run is one level of windows. Returns the sweeps
// over the state.
template <typename Real>
size_t apply_gates(StateVector<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                   WindowShape shape, RegionScratch<Real>& regions, BlockScratch<Real>& blocks) {
    const unsigned n = state.num_qubits;
    if (shape.region_qubits <= 0 || shape.region_qubits >= int(n))
        return apply_windows(state, steps, begin, end, shape, blocks);
    const BlockLimits limits = block_limits<Real>(n, shape);
    const int region_low = std::max(shape.region_low_qubits, limits.low_qubits);
    const WindowShape inner{shape.block_qubits, shape.block_qubits};
    size_t sweeps = 0;
    size_t i = begin;
    while (i < end) {
        const Window first = find_window(steps, i, end, limits.block_qubits, limits.low_qubits);
        const Window region = find_window(steps, i, end, shape.region_qubits, region_low);
        if (first.end >= region.end || region.gates <= 1 || !regions.reserve(shape.region_qubits)) {
            const size_t stop = std::max(first.end, i + 1);  // a gate wider than a block is a window of its own
            sweeps += apply_windows(state, steps, i, stop, shape, blocks);
            i = stop;
            continue;
        }
        ++sweeps;
        apply_region_windows(state, steps, i, region.end, fill_window(region.qubits, shape.region_qubits), inner,
                             regions, blocks);
        i = region.end;
    }
    return sweeps;
}

// Measured with bench/windows.perf.cc --shapes on cores with 512 KiB of L2
// and a shared 32 MiB L3: 256 KiB blocks in double, 512 KiB in float;
// regions of 4 MiB in double and 8 MiB in float, moved in 32 KiB and 16 KiB chunks.
template <typename Real>
constexpr WindowShape kGatheredShape = sizeof(Real) == sizeof(double) ? WindowShape{14, 4, 18, 12}
                                                                      : WindowShape{16, 6, 20, 12};

// Regions paid off only for states of more than this many last-level caches
// (1.3 to 2.1 times faster at 512 MiB and 1 GiB; slower at 256 MiB and less,
// where the blocks' gathers still run at memory speed).
constexpr uint64_t kRegionMinCaches = 8;

}  // namespace

template <typename Real>
WindowShape window_shape_for(unsigned num_qubits, uint64_t cache_bytes) {
    constexpr unsigned kLargestCounted = 40;  // keeps the byte count in range; far beyond any cache
    const WindowShape gathered = kGatheredShape<Real>;
    const uint64_t state_bytes = 2 * sizeof(Real) * (uint64_t{1} << std::min(num_qubits, kLargestCounted));
    if (state_bytes < cache_bytes) return {gathered.block_qubits, gathered.block_qubits};
    if (state_bytes <= kRegionMinCaches * cache_bytes) return {gathered.block_qubits, gathered.low_qubits};
    return gathered;
}

template <typename Real>
WindowShape window_shape_for(unsigned num_qubits) {
    return window_shape_for<Real>(num_qubits, last_level_cache_bytes());
}

template <typename Real>
size_t apply_plan(StateVector<Real>& state, const RunPlan& plan, RandomSource& source, WindowShape shape) {
    const std::vector<PlanStep>& steps = plan.steps;
    RegionScratch<Real> regions;
    BlockScratch<Real> blocks;
    size_t sweeps = 0;
    size_t i = 0;
    while (i < steps.size()) {
        if (steps[i].kind == OperationKind::kReset) reset_qubit(state, steps[i].reset_qubit, source);
        if (steps[i].kind != OperationKind::kGate) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < steps.size() && steps[end].kind != OperationKind::kReset &&
               steps[end].kind != OperationKind::kMeasure)
            ++end;
        sweeps += apply_gates(state, steps, i, end, shape, regions, blocks);
        // Later regions (a RESET's loops) expect the count a kernel leaves.
        omp_set_num_threads(thread_count_for(int(state.num_qubits)));
        i = end;
    }
    return sweeps;
}

template <typename Real>
void run_instructions(StateVector<Real>& state, const std::vector<CircuitInstruction>& instructions, size_t begin,
                      size_t end, GateMatrixCache& cache, int batch_index, RandomSource& source, int fusion) {
    RunPlan plan = compile_run(instructions, begin, end, state.num_qubits, &cache, batch_index);
    if (fusion != kFusionOff) fuse_plan(plan, fusion);
    apply_plan(state, plan, source, window_shape_for<Real>(state.num_qubits));
}

#define WAVESIM_INSTANTIATE_WINDOWS(Real)                                                                            \
    template WindowShape window_shape_for<Real>(unsigned, uint64_t);                                                 \
    template WindowShape window_shape_for<Real>(unsigned);                                                           \
    template size_t apply_plan<Real>(StateVector<Real>&, const RunPlan&, RandomSource&, WindowShape);                \
    template void run_instructions<Real>(StateVector<Real>&, const std::vector<CircuitInstruction>&, size_t, size_t, \
                                         GateMatrixCache&, int, RandomSource&, int);

WAVESIM_INSTANTIATE_WINDOWS(double)
WAVESIM_INSTANTIATE_WINDOWS(float)

}  // namespace wavesim
