// Test-only builders of instruction records, and the precisions every typed test runs in.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/circuit_records.h"

namespace wavesim {
namespace testing_support {

using Precisions = ::testing::Types<double, float>;

// A gate (or any named instruction) with its values as one parameter list.
inline CircuitInstruction gate(const std::string& name, std::vector<int32_t> qubits, std::vector<int32_t> controls = {},
                               std::vector<double> values = {}, bool dagger = false, std::string ctrl_state = "") {
    CircuitInstruction ins;
    ins.name = name;
    ins.qubits = std::move(qubits);
    ins.controls = std::move(controls);
    ins.has_param = !values.empty();
    ins.param.value = std::move(values);
    ins.dagger = dagger;
    ins.ctrl_state = std::move(ctrl_state);
    return ins;
}

// A MEASURE of `qubit` into classical bit `cbit`.
inline CircuitInstruction measure(int32_t qubit, int32_t cbit) { return gate("MEASURE", {qubit}, {cbit}); }

}  // namespace testing_support
}  // namespace wavesim
