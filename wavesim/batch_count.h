// How many parameter sets (batches) a circuit carries: from the value list of
// its first parametrised gate, or from the shape of its bound values.
#pragma once

#include "circuit_records.h"

// 0 or 1 means a single run. Needs the interpreter lock when the circuit has a
// shaped binding with a bound-values tensor.
int batch_count(const CircuitData& circuit);
