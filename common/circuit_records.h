// Circuit records shared by every extension module and by the circuitcore
// module that registers their Python classes. Every module must see exactly
// this definition: instances are allocated by one module's class and their
// contents built, copied and destroyed by code compiled into another.
#pragma once

#include <pybind11/pybind11.h>

#include <complex>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

struct CircuitData;

// Alternative 0: one value; alternative 1: a list of values. A default-made
// value is an empty list, never 0.0.
using ParamValue = std::variant<double, std::vector<double>>;

struct ParamBinding {
    std::string name;
    ParamValue value{std::vector<double>{}};
};

struct ParamTable {
    std::string prefix;
    int32_t size = 0;
    std::vector<ParamBinding> entries;
    CircuitData* owner = nullptr;  // builder's record; copied unchanged, read by nobody
};

struct CircuitInstruction {
    std::string name;
    std::vector<std::complex<double>> matrix;  // column-major; empty for named gates
    std::vector<int32_t> qubits;
    std::vector<int32_t> controls;  // MEASURE: first element is the classical bit
    ParamBinding param;
    bool has_param = false;
    bool dagger = false;
    std::string ctrl_state;
};

struct CircuitData {
    int32_t num_qubits = 0;
    std::vector<CircuitInstruction> instructions;
    ParamTable params;
    pybind11::object bound_values;  // may be null; copying takes a new reference
    bool shaped_binding = false;
    uint64_t value_shape_set = 0;
    std::vector<int64_t> value_shape;
    int32_t aux_word = 0;
};

// A table of `count` unbound parameters named prefix[0], prefix[1], ...
// A count of zero or below keeps `size` and makes no entries.
inline ParamTable make_param_table(const std::string& prefix, int32_t count) {
    ParamTable table;
    table.prefix = prefix;
    table.size = count;
    if (count > 0) {
        table.entries.reserve(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            table.entries.push_back(ParamBinding{prefix + "[" + std::to_string(i) + "]", std::vector<double>{}});
        }
    }
    return table;
}
