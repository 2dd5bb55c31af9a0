// One pass of run_cpp (all shots of one parameter set), in the fast forms
// whose counts equal the literal procedure's for the same random stream.
#pragma once

#include "circuit_records.h"
#include "measurement.h"
#include "shot_plan.h"

// Sample-once strategy: one simulation, then the pass's draws are taken in
// order and resolved together in one sorted sweep of the cumulative table.
template <typename Real>
ShotCounts sample_once_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                            RandomSource& source);

// Per-shot strategy: gate matrices are shared by all shots of the pass, and the
// states reached after each sequence of measurement outcomes are kept (within a
// memory budget), so a shot only repeats the work its random draws demand.
template <typename Real>
ShotCounts per_shot_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                         RandomSource& source);

// The pass of the plan's strategy.
template <typename Real>
ShotCounts count_pass(const CircuitData& circuit, const ShotPlan& plan, int batch_index, int shots, int num_cbits,
                      RandomSource& source);
