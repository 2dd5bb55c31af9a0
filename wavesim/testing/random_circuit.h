// Test-only random circuits over the whole vocabulary (on 3 qubits or more,
// the widest names take 3), shared by the tests of
// the window engine and of fusion: every catalogue name with up to two extra
// controls (some open), daggers, parameter lists of several sets, and, now and
// then, MEASURE, RESET and the names without effect.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/testing/instructions.h"

namespace wavesim {
namespace random_circuits {

constexpr int kBatches = 3;  // parameter sets of every parametrised gate
constexpr int kCircuitGates = 120;
// Chance in percent that an instruction is a name without unitary action, or RESET.
constexpr int kSkipPercent = 5;
constexpr int kResetPercent = 2;
constexpr int kMaxExtraControls = 2;

struct Draw {
    std::mt19937 engine;
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(engine); }
    bool percent(int p) { return below(100) < p; }
    double angle() { return std::uniform_real_distribution<double>(-4.0, 4.0)(engine); }
};

// `count` distinct qubits, all below `limit`, none in `taken`.
inline std::vector<int32_t> distinct_qubits(Draw& draw, int count, int limit, std::vector<int32_t>& taken) {
    std::vector<int32_t> out;
    while (int(out.size()) < count) {
        const int32_t q = draw.below(limit);
        if (std::find(taken.begin(), taken.end(), q) != taken.end()) continue;
        taken.push_back(q);
        out.push_back(q);
    }
    return out;
}

inline CircuitInstruction random_gate(Draw& draw, int num_qubits) {
    const auto& catalogue = gate_catalogue();
    const GateEntry& gate = catalogue[size_t(draw.below(int(catalogue.size())))];
    const int limit = num_qubits;
    const int room = num_qubits - gate.num_targets - gate.num_controls;
    const int extra = draw.below(std::max(0, std::min(kMaxExtraControls, room)) + 1);
    CircuitInstruction ins;
    ins.name = gate.name;
    std::vector<int32_t> taken;
    ins.qubits = distinct_qubits(draw, gate.num_targets, limit, taken);
    ins.controls = distinct_qubits(draw, gate.num_controls + extra, limit, taken);
    for (size_t i = 0; i < ins.controls.size(); ++i) ins.ctrl_state += draw.percent(30) ? '0' : '1';
    ins.dagger = draw.percent(25);
    std::vector<double> values;
    for (int k = 0; k < gate.num_params * kBatches; ++k) values.push_back(draw.angle());
    ins.param.value = values;
    ins.has_param = !values.empty();
    return ins;
}

inline CircuitInstruction named(const std::string& name, std::vector<int32_t> qubits) {
    return testing_support::gate(name, std::move(qubits));
}

inline std::vector<CircuitInstruction> random_circuit(Draw& draw, int num_qubits, int gates = kCircuitGates) {
    std::vector<CircuitInstruction> out;
    for (int g = 0; g < gates; ++g) {
        if (draw.percent(kSkipPercent)) {
            static const char* kSkipNames[] = {"MEASURE", "BARRIER", "QIF", "QWHILE"};
            out.push_back(named(kSkipNames[draw.below(4)], {int32_t(draw.below(num_qubits))}));
        } else if (draw.percent(kResetPercent)) {
            out.push_back(named("RESET", {int32_t(draw.below(num_qubits))}));
        } else {
            out.push_back(random_gate(draw, num_qubits));
        }
    }
    return out;
}

}  // namespace random_circuits
}  // namespace wavesim
