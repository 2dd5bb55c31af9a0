// The batch-count rule: parameter sets from value lists or from the bound values' shape.
#include "wavesim/batch/batch_count.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <string>
#include <variant>

#include "wavesim/gates/gate_catalogue.h"

namespace wavesim {
namespace {

// Counts come from user-controlled lengths and shapes; one too large for an int
// must not wrap around into a different (possibly plausible) batch count.
int to_batch_count(int64_t count) {
    if (count > INT_MAX)
        throw std::overflow_error("batch count " + std::to_string(count) + " exceeds the supported range");
    return static_cast<int>(std::max<int64_t>(count, 0));
}

int64_t whole_sets(int64_t length, int64_t per_set) {
    return length > per_set && length % per_set == 0 ? length / per_set : 0;
}

// A shape of exactly this many dimensions gives the batch count directly, as
// its extent along kBatchAxis; other shapes divide that extent by the largest
// parameter count.
constexpr int64_t kBatchedRank = 3;
constexpr int64_t kBatchAxis = 1;

}  // namespace

size_t value_count(const ParamValue& value) {
    return std::visit(
        [](const auto& v) -> size_t {
            if constexpr (std::is_same_v<std::decay_t<decltype(v)>, double>) {
                return 1;
            } else {
                return v.size();
            }
        },
        value);
}

int batch_count(const CircuitData& circuit, TensorShapeReader read_bound_shape) {
    if (circuit.instructions.empty()) return 0;

    const CircuitInstruction* first_parametrised = nullptr;
    int first_k = 0;
    int max_k = 0;
    for (const auto& instruction : circuit.instructions) {
        if (!instruction.has_param) continue;
        if (first_parametrised == nullptr) first_parametrised = &instruction;
        const int k = gate_param_count(instruction.name);
        if (k <= 0) continue;
        if (first_k == 0) first_k = k;
        max_k = std::max(max_k, k);
    }
    if (max_k == 0) return 0;

    if (!circuit.shaped_binding) {
        const auto length = static_cast<int64_t>(value_count(first_parametrised->param.value));
        return to_batch_count(whole_sets(length, first_k));
    }

    int64_t extent = 0;
    if (circuit.bound_values) {
        if (read_bound_shape == nullptr) throw std::logic_error("bound values need the binding's shape reader");
        const TensorShape shape = read_bound_shape(circuit);
        if (shape.dims >= 2) extent = shape.size1;
        if (shape.dims == kBatchedRank) return to_batch_count(extent);
    } else if (circuit.value_shape_set != 0 && !circuit.value_shape.empty()) {
        const auto rank = static_cast<int64_t>(circuit.value_shape.size());
        if (rank >= 2) extent = circuit.value_shape[kBatchAxis];
        if (rank == kBatchedRank) return to_batch_count(extent);
    }
    return to_batch_count(whole_sets(extent, max_k));
}

}  // namespace wavesim
