// How many parameter sets (batches) a circuit carries: from the value list of
// its first parametrised gate, or from the shape of its bound values.
#pragma once

#include <cstdint>

#include "common/circuit_records.h"

namespace wavesim {

// What the rule reads of a bound-values tensor's shape.
struct TensorShape {
    int64_t dims = 0;
    int64_t size1 = 0;  // extent of dimension 1; 0 when dims < 2
};

// Reads the shape of `circuit.bound_values`. The tensor is a Python object,
// so the binding supplies the reader; it is called only when the rule needs it.
using TensorShapeReader = TensorShape (*)(const CircuitData& circuit);

// The values an instruction carries: a single value counts as a list of
// one; a valueless variant throws std::bad_variant_access.
size_t value_count(const ParamValue& value);

// 0 or 1 means a single run. A circuit whose shaped binding has bound values
// needs `read_bound_shape` (std::logic_error without one).
int batch_count(const CircuitData& circuit, TensorShapeReader read_bound_shape);

}  // namespace wavesim
