// Applying a compiled run: windows of gates over blocks in L2, and regions of blocks in the last-level cache.
#include "wavesim/plan/windows.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "wavesim/base/bits.h"
#include "wavesim/base/simd.h"
#include "wavesim/base/threads.h"

namespace wavesim {
namespace {

KernelCall remap_call(uint64_t window, KernelCall call) {
    for (int j = 0; j < call.num_targets; ++j) call.targets[j] = position_in(window, call.targets[j]);
    call.ones = compress_mask(window, call.ones);
    call.zeros = compress_mask(window, call.zeros);
    return call;
}

// Block size for a state: at most the shape's, and small enough that every
// thread of the rule's team gets a block.
int block_qubits_for(unsigned num_qubits, int threads, int shape_qubits) {
    int spread = 0;  // ceil(log2(threads))
    while ((1 << spread) < threads) ++spread;
    return std::max(0, std::min(shape_qubits, int(num_qubits) - spread));
}

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

// Whether the blocks of window W must be gathered: W is not just the lowest qubits.
bool is_gathered(uint64_t window) { return (window & (window + 1)) != 0; }

// W filled up with the lowest qubits it lacks until it has `block_qubits`.
uint64_t fill_window(uint64_t qubits, int block_qubits) {
    for (int q = 0; popcount(qubits) < block_qubits; ++q) qubits |= bit(q);
    return qubits;
}

// Moves the 2^popcount(high) chunks of `chunk` values that make up one block
// (or region) between the state and a scratch (`block` re, `block + dim`
// im), in ascending order. Both parts move in one loop of register copies
// (a chunk is at least a register): with chunks of a few cache lines spread
// over the whole state, calling memcpy twice per chunk cost a third more.
template <typename Real>
void move_chunks(Real* block, uint64_t dim, StateView<Real>& state, uint64_t base, uint64_t high, uint64_t chunk,
                 bool gather) {
    using S = Simd<Real>;
    uint64_t offset = 0;
    Real* slot = block;
    do {
        Real* re = state.re + base + offset;
        Real* im = state.im + base + offset;
        Real* slot_im = slot + dim;
        for (uint64_t k = 0; k < chunk; k += S::kWidth) {
            if (gather) {
                S::store(slot + k, S::load(re + k));
                S::store(slot_im + k, S::load(im + k));
            } else {
                S::store(re + k, S::load(slot + k));
                S::store(im + k, S::load(slot_im + k));
            }
        }
        slot += chunk;
        offset = ((offset | ~high) + 1) & high;  // next subset of `high`, ascending
    } while (offset != 0);
}

// One sweep's worth of gates: the calls of a window, renumbered into its
// block of qubits W; or (W empty) one gate alone, applied to the whole state.
struct WindowRun {
    uint64_t window = 0;
    std::vector<KernelCall> calls;
};

// The windows of the gates among steps [begin, end) (no RESET or MEASURE
// among them) on a state of n qubits, for blocks of `block_qubits` qubits
// that always hold the lowest `low_qubits`.
std::vector<WindowRun> plan_windows(const std::vector<PlanStep>& steps, size_t begin, size_t end, unsigned n,
                                    int block_qubits, int low_qubits) {
    std::vector<WindowRun> runs;
    size_t i = begin;
    while (i < end) {
        if (steps[i].kind != OperationKind::kGate) {
            ++i;
            continue;
        }
        const Window w = find_window(steps, i, end, block_qubits, low_qubits);
        WindowRun run;
        if (block_qubits < int(n) && w.gates <= 1) {
            // One gate is one sweep either way (and a gate wider than a block has no window).
            run.calls.push_back(steps[i].call);
            ++i;
        } else {
            run.window = fill_window(w.qubits, block_qubits);
            for (size_t k = i; k < w.end; ++k)
                if (steps[k].kind == OperationKind::kGate) run.calls.push_back(remap_call(run.window, steps[k].call));
            i = w.end;
        }
        runs.push_back(std::move(run));
    }
    return runs;
}

// Applies one run to `state` with a team of `threads`: a window block by
// block, each block gathered into the scratch of its thread (or used in
// place when W is the lowest qubits), the threads splitting the blocks.
// Every scratch a gathered window needs must be reserved beforehand.
template <typename Real>
void run_window(StateView<Real>& state, const WindowRun& run, ThreadTeam team, const ThreadScratch<Real>& scratch) {
    if (run.window == 0) {
        run_kernel_call(state, run.calls[0], team);
        return;
    }
    const int block_qubits = popcount(run.window);
    const int low = trailing_ones(run.window);
    const uint64_t high = run.window & ~(bit(low) - 1);
    const uint64_t outside = (state.dim - 1) & ~run.window;
    const int64_t blocks = int64_t{1} << (int(state.num_qubits) - block_qubits);
    const bool gathered = is_gathered(run.window);
    const uint64_t chunk = bit(low);

    auto run_block = [&](int64_t b, int thread) {
        const uint64_t base = deposit(uint64_t(b), outside);
        Real* re = state.re + base;
        Real* im = state.im + base;
        if (gathered) {
            re = scratch.buffers[size_t(thread)].get();
            im = re + scratch.dim;
            move_chunks(re, scratch.dim, state, base, high, chunk, true);
        }
        StateView<Real> view(unsigned(block_qubits), re, im);
        for (const KernelCall& call : run.calls) run_kernel_call(view, call, ThreadTeam{});
        if (gathered) {
            move_chunks(re, scratch.dim, state, base, high, chunk, false);
        }
    };
    if (blocks == 1 || team.threads == 1) {
        for (int64_t b = 0; b < blocks; ++b) run_block(b, 0);
        return;
    }
#pragma omp parallel for schedule(static) num_threads(team.threads)
    for (int64_t b = 0; b < blocks; ++b) run_block(b, omp_get_thread_num());
}

// The lowest qubits must keep their positions inside a block (lane permutes
// and masks of the kernels); a block narrower than a register only occurs
// when the block is the whole state.
template <typename Real>
int low_qubits_of(WindowShape shape) {
    return std::max(shape.low_qubits, Simd<Real>::kLogWidth);
}

// One level of windows over the gates among steps [begin, end) (no RESET or
// MEASURE among them), with a team of `threads`. Returns the sweeps over the state.
template <typename Real>
size_t apply_windows(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                     WindowShape shape, ThreadTeam team, ThreadScratch<Real>& scratch) {
    const unsigned n = state.num_qubits;
    const int block_qubits = block_qubits_for(n, team.threads, shape.block_qubits);
    const std::vector<WindowRun> runs = plan_windows(steps, begin, end, n, block_qubits, low_qubits_of<Real>(shape));
    for (const WindowRun& run : runs) {
        if (is_gathered(run.window) && !scratch.reserve(team.threads, block_qubits)) throw std::bad_alloc();
        run_window(state, run, team, scratch);
    }
    return runs.size();
}

// False when the memory for regions is not there: the caller then goes without.
template <typename Real>
bool reserve_regions(WindowScratch<Real>& scratch, int threads, int region_qubits, int block_qubits) {
    if (!scratch.regions.reserve(threads, region_qubits)) return false;
    scratch.region_blocks.resize(size_t(threads));
    for (ThreadScratch<Real>& blocks : scratch.region_blocks)
        if (!blocks.reserve(1, block_qubits)) return false;
    return true;
}

// Gates among steps [begin, end), whose qubits lie in `region` (the lowest
// qubits among them), applied region by region: the threads split the
// regions; each gathers its region into its scratch, takes it through every
// gate with one level of windows in place as a state of its own (its qubits
// renumbered in order), and scatters it back. The windows are the same for
// every region and are found once. No barrier between the regions of a run.
template <typename Real>
void apply_region_windows(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                          uint64_t region, WindowShape inner, ThreadTeam team, WindowScratch<Real>& scratch) {
    std::vector<PlanStep> local;
    for (size_t i = begin; i < end; ++i)
        if (steps[i].kind == OperationKind::kGate) {
            PlanStep step = steps[i];
            step.call = remap_call(region, step.call);
            step.qubits = compress_mask(region, step.qubits);
            local.push_back(step);
        }
    const int region_qubits = popcount(region);
    const int block_qubits = block_qubits_for(unsigned(region_qubits), 1, inner.block_qubits);
    const std::vector<WindowRun> runs =
        plan_windows(local, 0, local.size(), unsigned(region_qubits), block_qubits, low_qubits_of<Real>(inner));
    const int low = trailing_ones(region);
    const uint64_t high = region & ~(bit(low) - 1);
    const uint64_t outside = (state.dim - 1) & ~region;
    const uint64_t chunk = bit(low);
    const int64_t count = int64_t{1} << (int(state.num_qubits) - region_qubits);
#pragma omp parallel for schedule(static) num_threads(team.threads)
    for (int64_t r = 0; r < count; ++r) {
        const size_t t = size_t(omp_get_thread_num());
        const uint64_t base = deposit(uint64_t(r), outside);
        Real* re = scratch.regions.buffers[t].get();
        Real* im = re + scratch.regions.dim;
        move_chunks(re, scratch.regions.dim, state, base, high, chunk, true);
        StateView<Real> view(unsigned(region_qubits), re, im);
        for (const WindowRun& run : runs) run_window(view, run, ThreadTeam{}, scratch.region_blocks[t]);
        move_chunks(re, scratch.regions.dim, state, base, high, chunk, false);
    }
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
bool ThreadScratch<Real>::reserve(int threads, int qubits) {
    if (buffers.size() >= size_t(threads) && dim == uint64_t{1} << qubits) return true;
    buffers.clear();
    dim = uint64_t{1} << qubits;
    for (int t = 0; t < threads; ++t) {
        buffers.push_back(allocate_aligned<Real>(size_t{2} << qubits));
        if (!buffers.back()) {
            buffers.clear();
            return false;
        }
    }
    return true;
}

// The gates among steps [begin, end) (no RESET or MEASURE among them). With
// regions in the shape, a run of gates that one window of blocks cannot hold
// but a region can goes region by region, its blocks applied in place inside
// the region; every other run is one level of windows. Returns the sweeps
// over the state.
template <typename Real>
size_t apply_gates(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                   WindowShape shape, ThreadTeam team, WindowScratch<Real>& scratch) {
    const unsigned n = state.num_qubits;
    if (shape.region_qubits <= 0 || shape.region_qubits >= int(n))
        return apply_windows(state, steps, begin, end, shape, team, scratch.blocks);
    const int block_qubits = block_qubits_for(n, team.threads, shape.block_qubits);
    const int low = low_qubits_of<Real>(shape);
    const int region_low = std::max(shape.region_low_qubits, low);
    // Inside a region the windows keep to its lowest qubits, in place.
    const WindowShape inner{shape.block_qubits, shape.block_qubits};
    size_t sweeps = 0;
    size_t i = begin;
    while (i < end) {
        const Window first = find_window(steps, i, end, block_qubits, low);
        const Window region = find_window(steps, i, end, shape.region_qubits, region_low);
        if (first.end >= region.end || region.gates <= 1 ||
            !reserve_regions(scratch, team.threads, shape.region_qubits, inner.block_qubits)) {
            const size_t stop = std::max(first.end, i + 1);  // a gate wider than a block is a window of its own
            sweeps += apply_windows(state, steps, i, stop, shape, team, scratch.blocks);
            i = stop;
            continue;
        }
        ++sweeps;
        apply_region_windows(state, steps, i, region.end, fill_window(region.qubits, shape.region_qubits), inner, team,
                             scratch);
        i = region.end;
    }
    return sweeps;
}

#define WAVESIM_INSTANTIATE_WINDOWS(Real)                                                                          \
    template struct ThreadScratch<Real>;                                                                           \
    template WindowShape window_shape_for<Real>(unsigned, uint64_t);                                               \
    template WindowShape window_shape_for<Real>(unsigned);                                                         \
    template size_t apply_gates<Real>(StateView<Real>&, const std::vector<PlanStep>&, size_t, size_t, WindowShape, \
                                      ThreadTeam, WindowScratch<Real>&);

WAVESIM_INSTANTIATE_WINDOWS(double)
WAVESIM_INSTANTIATE_WINDOWS(float)

}  // namespace wavesim
