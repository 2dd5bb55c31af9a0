// Applying a compiled run with cache blocking. The plan is cut, in order,
// into windows: maximal runs of consecutive gates whose qubits (targets and
// controls) fit, with the state's lowest qubits, in a set W of at most
// `block_qubits` qubits. For every assignment of the qubits outside W, the
// amplitudes that differ only in W's qubits form a block: it is gathered into
// a per-thread scratch that stays in cache (or used in place when W is the
// lowest qubits), every gate of the window is applied to it with its qubits
// renumbered inside the block, and it is scattered back; or it is walked
// where it lies, the gates keeping their qubits and the qubits outside W
// held as controls (WindowShape::in_place). Blocks are
// independent, so threads split them. A gate moves only past gates on other
// qubits, and only where that changes no value (X and SWAP only move values,
// Z only flips signs: PlanStep::commutes); W keeps the order of its qubits
// and always holds the qubits inside a vector register at their own
// positions, so every amplitude sees the arithmetic of the per-gate path in
// the same order: results equal those of applying the instructions one by
// one (a moved sign flip may turn the sign of a zero). Regions add a level above the blocks: a
// region is gathered the same way, with its own W, into a scratch that stays
// in the last-level cache, and is taken through its run of gates as a state
// of its own. Tiles add a level below: consecutive gates of a window on the
// block's lowest qubits go tile by tile, each tile small enough for L1, so
// the block passes through L2 once for all of them (a tile is a state of its
// own to the kernels, and each amplitude sees the same arithmetic).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "wavesim/base/threads.h"
#include "wavesim/plan/compile.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {

struct WindowShape {
    int block_qubits;  // qubits of a block: 2^block_qubits amplitudes of both arrays fit in a core's L2
    int low_qubits;    // the state's lowest qubits, always in W: gathers move whole cache lines
    // Regions, for a state larger than the last-level cache: a run of gates
    // that one window of blocks cannot hold but `region_qubits` qubits (with
    // the lowest `region_low_qubits`) can is applied region by region, each
    // region gathered into a scratch that stays in that cache and taken
    // through the run with blocks in place. 0: no regions.
    int region_qubits = 0;
    int region_low_qubits = 0;
    // Tiles: consecutive gates of a window on the lowest `tile_qubits` of
    // its block go tile by tile, each tile of 2^tile_qubits amplitudes
    // staying in a core's L1. 0: no tiles.
    int tile_qubits = 0;
    // Blocks of a W that is not just the lowest qubits are walked where they
    // lie, their qubits outside W held fixed as controls are, instead of
    // gathered: for a state in the last-level cache, where a gather's copy
    // costs more than the cache misses it saves.
    bool in_place = false;
};

// The shape measured fastest for a state of `num_qubits` qubits in this
// precision, on a machine whose last-level cache holds `cache_bytes`. A state
// smaller than that cache gains nothing from gathering blocks (every sweep is
// served from the cache): its blocks are walked where they lie, always with
// a tile's worth of the lowest qubits. Only states many times that cache go
// region by region.
template <typename Real>
WindowShape window_shape_for(unsigned num_qubits, uint64_t cache_bytes);

// The same for this machine's last-level cache.
template <typename Real>
WindowShape window_shape_for(unsigned num_qubits);

// Scratch arrays of 2^qubits amplitudes (both parts), one per thread,
// allocated outside any parallel region and kept from one window to the next.
template <typename Real>
struct ThreadScratch {
    std::vector<AlignedArray<Real>> buffers;
    uint64_t dim = 0;

    // False, holding nothing, when the memory is not there.
    bool reserve(int threads, int qubits);
};

// What the windows of a run keep between their runs of gates: one gathered
// block per thread, and for regions one region and one block per thread.
template <typename Real>
struct WindowScratch {
    ThreadScratch<Real> blocks;
    ThreadScratch<Real> regions;
    std::vector<ThreadScratch<Real>> region_blocks;
};

// What a run of gates took: sweeps over the state (one per window or region
// run), stretches of gates applied tile by tile (one per window's stretch,
// over all its blocks), and windows whose blocks were walked where they lie.
struct GatePasses {
    size_t sweeps = 0;
    size_t tiled = 0;
    size_t in_place = 0;
};

// The gate steps among steps [begin, end) (no RESET or MEASURE among them;
// names without effect are passed over) on `state`, window by window in this
// shape, the blocks of a window (or the units of a gate alone) shared among
// the threads of `team`.
template <typename Real>
GatePasses apply_gates(StateView<Real>& state, const std::vector<PlanStep>& steps, size_t begin, size_t end,
                       WindowShape shape, ThreadTeam team, WindowScratch<Real>& scratch);

}  // namespace wavesim
