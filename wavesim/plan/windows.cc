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

// Gates not yet applied, in the order they may be applied: the ones a
// window passed over, then the gate steps from `next` to `end`.
struct Pending {
    std::vector<size_t> passed;
    size_t next = 0;
    size_t end = 0;

    bool empty() const { return passed.empty() && next >= end; }
};

Pending pending_gates(const std::vector<PlanStep>& steps, size_t begin, size_t end) {
    Pending pending{{}, begin, end};
    while (pending.next < end && steps[pending.next].kind != OperationKind::kGate) ++pending.next;
    return pending;
}

// The gates of one window, in the order they are applied, and their qubits.
struct Window {
    uint64_t qubits = 0;
    std::vector<size_t> steps;
};

// Gates a window may pass over before it closes.
constexpr size_t kLookahead = 64;

// How a window may move gates: values only (X, SWAP), or sign flips (Z) too.
// Moving a sign flip may turn the sign of a zero, so sign flips move only
// where the windows are the same whatever the thread count (see apply_gates):
// a call gives the same bits on one thread as on two.
struct Moves {
    bool signs = false;

    bool free(const PlanStep& step) const {
        return step.commutes == Commutes::kExactly || (signs && step.commutes == Commutes::kUpToZeroSigns);
    }
};

// Takes one window's gates from `pending`: in order, each gate whose qubits
// fit in `block_qubits` together with the window's (the lowest `low_qubits`
// from the start) and which may move before every gate passed over, which
// it may when it shares no qubit with them and either it or each of them
// moves freely (`moves`): the values stay those of the gates in their order.
// The first pending gate is always taken (alone when it does not fit in a
// block). Names without effect are passed by.
Window take_window(const std::vector<PlanStep>& steps, Pending& pending, int block_qubits, int low_qubits,
                   Moves moves) {
    Window w;
    w.qubits = bit(std::min(low_qubits, block_qubits)) - 1;
    std::vector<size_t> passed;
    uint64_t blocked = 0;         // qubits of the gates passed over
    bool inexact_passed = false;  // one of them does not move freely
    auto consider = [&](size_t i) {
        const PlanStep& step = steps[i];
        const uint64_t next = w.qubits | step.qubits;
        const bool first = w.steps.empty() && passed.empty();
        const bool may_move = (step.qubits & blocked) == 0 && (moves.free(step) || !inexact_passed);
        if (first || (popcount(next) <= block_qubits && may_move)) {
            w.qubits = next;
            w.steps.push_back(i);
            return;
        }
        passed.push_back(i);
        blocked |= step.qubits;
        inexact_passed = inexact_passed || !moves.free(step);
    };
    for (size_t i : pending.passed) consider(i);
    while (pending.next < pending.end && passed.size() < kLookahead) {
        const size_t i = pending.next++;
        if (steps[i].kind == OperationKind::kGate) consider(i);
        if (popcount(w.qubits) > block_qubits) break;  // the first gate is wider than a block: alone
    }
    while (pending.next < pending.end && steps[pending.next].kind != OperationKind::kGate) ++pending.next;
    pending.passed = std::move(passed);
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
    // Stretches of consecutive calls, in order, that act only on the block's
    // lowest qubits: each is applied tile by tile (`tiled`) or as it stands.
    struct Stretch {
        size_t end = 0;
        bool tiled = false;
    };
    std::vector<Stretch> stretches;
    int tile_qubits = 0;
    // Blocks walked where they lie: the calls with their own qubits (the
    // tiles take `calls`, the same on a tile). Empty: blocks in a scratch,
    // or W the lowest qubits.
    std::vector<KernelCall> placed;

    size_t tiled() const {
        return size_t(std::count_if(stretches.begin(), stretches.end(), [](const Stretch& s) { return s.tiled; }));
    }
    // Whether its blocks go through a scratch.
    bool gathers() const { return is_gathered(window) && placed.empty(); }
};

// The stretches of `run`'s calls on a block of `block_qubits`, `local[i]`
// being call i's qubits in the block: maximal runs of at least two calls on
// the lowest `tile` qubits go tile by tile (a call that sums stays whole),
// each tile a state of its own on which the calls do what they do on the
// block, amplitude by amplitude. 0: no tiles.
void cut_stretches(WindowRun& run, const std::vector<uint64_t>& local, int block_qubits, int tile) {
    const size_t count = run.calls.size();
    run.tile_qubits = tile;
    const bool tiles = tile > 0 && block_qubits > tile;
    auto fits = [&](size_t i) {
        return tiles && (local[i] >> tile) == 0 && run.calls[i].gate != KernelGate::kCrossFormThenMatrix;
    };
    for (size_t i = 0; i < count;) {
        size_t end = i + 1;
        if (fits(i))
            while (end < count && fits(end)) ++end;
        const bool tiled = end - i >= 2;
        if (!tiled) end = i + 1;
        run.stretches.push_back({end, tiled});
        i = end;
    }
}

// Whether a call can run on a block where it lies, the qubits outside W held
// as controls: the diagonal kernel takes no controls, and a call that sums
// must see its fixed ranges of units.
bool runs_in_place(const KernelCall& call) {
    return call.gate != KernelGate::kDiagonal && call.gate != KernelGate::kCrossFormThenMatrix;
}

// The run of a window on a state of n qubits for blocks of `block_qubits`:
// the block is W filled up with the lowest qubits; one gate alone is one
// sweep either way and runs on the whole state (as does a gate wider than a
// block). With `in_place`, a W that is not just the lowest qubits is walked
// where it lies when every call can be and its tiles are whole chunks.
WindowRun window_run(const std::vector<PlanStep>& steps, const Window& w, unsigned n, int block_qubits, int tile,
                     bool in_place) {
    WindowRun run;
    if (block_qubits < int(n) && w.steps.size() <= 1) {
        run.calls.push_back(steps[w.steps[0]].call);
        return run;
    }
    run.window = fill_window(w.qubits, block_qubits);
    std::vector<uint64_t> local;
    for (size_t i : w.steps) {
        run.calls.push_back(remap_call(run.window, steps[i].call));
        local.push_back(compress_mask(run.window, steps[i].qubits));
    }
    cut_stretches(run, local, popcount(run.window), tile);
    if (in_place && is_gathered(run.window) && trailing_ones(run.window) >= tile &&
        std::all_of(w.steps.begin(), w.steps.end(), [&](size_t i) { return runs_in_place(steps[i].call); }))
        for (size_t i : w.steps) run.placed.push_back(steps[i].call);
    return run;
}

// The windows of the gates among steps [begin, end) (no RESET or MEASURE
// among them) on a state of n qubits, for blocks of `block_qubits` qubits
// that always hold the lowest `low_qubits`.
std::vector<WindowRun> plan_windows(const std::vector<PlanStep>& steps, size_t begin, size_t end, unsigned n,
                                    int block_qubits, int low_qubits, int tile, Moves moves) {
    std::vector<WindowRun> runs;
    Pending pending = pending_gates(steps, begin, end);
    while (!pending.empty())
        runs.push_back(window_run(steps, take_window(steps, pending, block_qubits, low_qubits, moves), n, block_qubits,
                                  tile, false));
    return runs;
}

// Calls [first, end) of `run`, tile by tile, on the `span` amplitudes from
// re / im (a whole number of tiles), each tile a state of its own.
template <typename Real>
void run_tiles(const WindowRun& run, size_t first, size_t end, Real* re, Real* im, uint64_t span) {
    for (uint64_t t = 0; t < span; t += bit(run.tile_qubits)) {
        StateView<Real> part(unsigned(run.tile_qubits), re + t, im + t);
        for (size_t c = first; c < end; ++c) run_kernel_call(part, run.calls[c], ThreadTeam{});
    }
}

// The stretches of `run` on the block of `base` walked where it lies: a
// call with the block's qubits outside W as controls, a tile as a state of
// its own inside one of the block's chunks (whole tiles: see window_run).
template <typename Real>
void run_placed_block(StateView<Real>& state, const WindowRun& run, uint64_t base, uint64_t outside) {
    const int low = trailing_ones(run.window);
    const uint64_t high = run.window & ~(bit(low) - 1);
    size_t first = 0;
    for (const WindowRun::Stretch& stretch : run.stretches) {
        if (!stretch.tiled) {
            for (size_t c = first; c < stretch.end; ++c) {
                KernelCall call = run.placed[c];
                call.ones |= base;
                call.zeros |= outside & ~base;
                run_kernel_call(state, call, ThreadTeam{});
            }
        } else {
            uint64_t offset = 0;
            do {
                run_tiles(run, first, stretch.end, state.re + base + offset, state.im + base + offset, bit(low));
                offset = ((offset | ~high) + 1) & high;  // next subset of `high`, ascending
            } while (offset != 0);
        }
        first = stretch.end;
    }
}

// Applies one run to `state` with a team of `threads`: a window block by
// block, each block gathered into the scratch of its thread (or used in
// place when W is the lowest qubits, or walked where it lies), the threads
// splitting the blocks. Every scratch a gathered window needs must be
// reserved beforehand.
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
    const bool gathered = run.gathers();
    const uint64_t chunk = bit(low);

    auto run_block = [&](int64_t b, int thread) {
        const uint64_t base = deposit(uint64_t(b), outside);
        if (!run.placed.empty()) return run_placed_block(state, run, base, outside);
        Real* re = state.re + base;
        Real* im = state.im + base;
        if (gathered) {
            re = scratch.buffers[size_t(thread)].get();
            im = re + scratch.dim;
            move_chunks(re, scratch.dim, state, base, high, chunk, true);
        }
        StateView<Real> view(unsigned(block_qubits), re, im);
        size_t first = 0;
        for (const WindowRun::Stretch& stretch : run.stretches) {
            if (!stretch.tiled) {
                for (size_t c = first; c < stretch.end; ++c) run_kernel_call(view, run.calls[c], ThreadTeam{});
            } else {
                run_tiles(run, first, stretch.end, re, im, view.dim);
            }
            first = stretch.end;
        }
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

// Tiles are never narrower than a register.
template <typename Real>
int tile_qubits_of(WindowShape shape) {
    return shape.tile_qubits > 0 ? std::max(shape.tile_qubits, Simd<Real>::kLogWidth) : 0;
}

// Runs one window (reserving the scratch a gathered one needs).
template <typename Real>
void apply_window(StateView<Real>& state, const WindowRun& run, int block_qubits, ThreadTeam team,
                  ThreadScratch<Real>& scratch) {
    if (run.gathers() && !scratch.reserve(team.threads, block_qubits)) throw std::bad_alloc();
    run_window(state, run, team, scratch);
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

// The steps `taken`, whose qubits lie in `region` (the lowest qubits among
// them), applied region by region: the threads split the regions; each
// gathers its region into its scratch, takes it through every gate with one
// level of windows in place as a state of its own (its qubits renumbered in
// order), and scatters it back. The windows are the same for every region
// and are found once. No barrier between the regions of a run.
template <typename Real>
size_t apply_region_windows(StateView<Real>& state, const std::vector<PlanStep>& steps,
                            const std::vector<size_t>& taken, uint64_t region, WindowShape inner, Moves moves,
                            ThreadTeam team, WindowScratch<Real>& scratch) {
    std::vector<PlanStep> local;
    for (size_t i : taken) {
        PlanStep step = steps[i];
        step.call = remap_call(region, step.call);
        step.qubits = compress_mask(region, step.qubits);
        local.push_back(step);
    }
    const int region_qubits = popcount(region);
    const int block_qubits = block_qubits_for(unsigned(region_qubits), 1, inner.block_qubits);
    const std::vector<WindowRun> runs = plan_windows(local, 0, local.size(), unsigned(region_qubits), block_qubits,
                                                     low_qubits_of<Real>(inner), tile_qubits_of<Real>(inner), moves);
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
    size_t tiled = 0;
    for (const WindowRun& run : runs) tiled += run.tiled();
    return tiled;
}

// Measured with bench/windows.perf.cc --shapes on cores with 512 KiB of L2
// and a shared 32 MiB L3: 256 KiB blocks in double, 512 KiB in float;
// regions of 4 MiB in double and 8 MiB in float, moved in 32 KiB and 16 KiB chunks.
// Tiles of 32 KiB in both precisions, measured end to end on cores with 48 KiB
// of L1 (16 and 64 KiB were slower; 16 KiB slower than no tiles at all).
template <typename Real>
constexpr WindowShape kGatheredShape =
    sizeof(Real) == sizeof(double) ? WindowShape{14, 4, 18, 12, 11} : WindowShape{16, 6, 20, 12, 12};

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
    if (state_bytes < cache_bytes)
        return {gathered.block_qubits, gathered.tile_qubits, 0, 0, gathered.tile_qubits, true};
    if (state_bytes <= kRegionMinCaches * cache_bytes)
        return {gathered.block_qubits, gathered.low_qubits, 0, 0, gathered.tile_qubits};
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

// The gates among steps [begin, end) (no RESET or MEASURE among them), window
// by window. With regions in the shape, the gates of a region window go
// region by region, their blocks applied in place inside the region, when
// they are more than one window of blocks takes. Returns the sweeps over the
// state (one per window or region run) and the stretches applied tile by tile.
template <typename Real>
GatePasses apply_gates(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                       WindowShape shape, ThreadTeam team, WindowScratch<Real>& scratch) {
    const unsigned n = state.num_qubits;
    // A state of one block on one thread has one window, the whole state in place, which takes every gate in
    // its order: up to a tile, the gates go to the kernels one by one without planning it.
    if (team.threads == 1 && int(n) <= shape.block_qubits) {
        const int tile = tile_qubits_of<Real>(shape);
        if (tile == 0 || int(n) <= tile) {
            size_t gates = 0;
            for (size_t i = begin; i < end; ++i) {
                if (steps[i].kind != OperationKind::kGate) continue;
                run_kernel_call(state, steps[i].call, team);
                ++gates;
            }
            return {gates > 0 ? 1u : 0u, 0};
        }
        Window whole;
        for (size_t i = begin; i < end; ++i)
            if (steps[i].kind == OperationKind::kGate) whole.steps.push_back(i);
        if (whole.steps.empty()) return {};
        const WindowRun run = window_run(steps, whole, n, int(n), tile, false);
        run_window(state, run, team, scratch.blocks);
        return {1, run.tiled()};
    }
    const bool regions = shape.region_qubits > 0 && shape.region_qubits < int(n);
    const int block_qubits = block_qubits_for(n, team.threads, shape.block_qubits);
    // Blocks narrowed so that every thread gets one depend on the thread count, and so would the windows: there
    // sign flips keep their places.
    const Moves moves{block_qubits == shape.block_qubits};
    const int low = low_qubits_of<Real>(shape);
    const int region_low = std::max(shape.region_low_qubits, low);
    // Inside a region the windows keep to its lowest qubits, in place.
    const WindowShape inner{shape.block_qubits, shape.block_qubits, 0, 0, shape.tile_qubits};
    GatePasses passes;
    Pending pending = pending_gates(steps, begin, end);
    while (!pending.empty()) {
        ++passes.sweeps;
        Pending after_blocks = pending;
        const Window first = take_window(steps, after_blocks, block_qubits, low, moves);
        if (regions) {
            Pending after_region = pending;
            const Window region = take_window(steps, after_region, shape.region_qubits, region_low, moves);
            if (region.steps.size() > first.steps.size() &&
                reserve_regions(scratch, team.threads, shape.region_qubits, inner.block_qubits)) {
                passes.tiled +=
                    apply_region_windows(state, steps, region.steps, fill_window(region.qubits, shape.region_qubits),
                                         inner, moves, team, scratch);
                pending = std::move(after_region);
                continue;
            }
        }
        const WindowRun run = window_run(steps, first, n, block_qubits, tile_qubits_of<Real>(shape), shape.in_place);
        apply_window(state, run, block_qubits, team, scratch.blocks);
        passes.tiled += run.tiled();
        passes.in_place += run.placed.empty() ? 0 : 1;
        pending = std::move(after_blocks);
    }
    return passes;
}

#define WAVESIM_INSTANTIATE_WINDOWS(Real)                                                                              \
    template struct ThreadScratch<Real>;                                                                               \
    template WindowShape window_shape_for<Real>(unsigned, uint64_t);                                                   \
    template WindowShape window_shape_for<Real>(unsigned);                                                             \
    template GatePasses apply_gates<Real>(StateView<Real>&, const std::vector<PlanStep>&, size_t, size_t, WindowShape, \
                                          ThreadTeam, WindowScratch<Real>&);

WAVESIM_INSTANTIATE_WINDOWS(double)
WAVESIM_INSTANTIATE_WINDOWS(float)

}  // namespace wavesim
