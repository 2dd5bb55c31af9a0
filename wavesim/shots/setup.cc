// The call set-up of run_cpp and the key helpers.
#include "wavesim/shots/setup.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {
namespace {

// Gates and RESET after a measurement force per-shot simulation; MEASURE and
// the names without effect do not.
bool needs_per_shot(const CircuitData& circuit) {
    bool measured = false;
    for (const auto& instruction : circuit.instructions) {
        const OperationKind kind = operation_kind(instruction.name);
        if (measured && (kind == OperationKind::kGate || kind == OperationKind::kReset)) return true;
        if (kind == OperationKind::kMeasure) measured = true;
    }
    return false;
}

void refuse_out_of_range(const CircuitData& circuit, const ShotSetup& setup) {
    for (const auto& m : setup.measured) {
        if (m.cbit < 0) {
            throw std::runtime_error("MEASURE addresses classical bit " + std::to_string(m.cbit) +
                                     ", outside a register that starts at bit 0");
        }
    }
    const int64_t n = circuit.num_qubits;
    if (n < 0 || n > kMaxStateQubits) return;
    for (const auto& m : setup.measured) check_qubit("MEASURE", m.qubit, n);
    for (const auto& instruction : circuit.instructions) {
        if (operation_kind(instruction.name) == OperationKind::kReset && !instruction.qubits.empty())
            check_qubit("RESET", instruction.qubits[0], n);
    }
}

}  // namespace

bool is_counted_measure(const CircuitInstruction& instruction, int num_cbits) {
    return operation_kind(instruction.name) == OperationKind::kMeasure && !instruction.qubits.empty() &&
           classical_bit(instruction) < num_cbits;
}

std::string empty_key(int num_cbits) {
    if (num_cbits < 0) throw std::length_error("vector too long");
    return std::string(static_cast<size_t>(num_cbits), '0');
}

ShotSetup setup_shots(const CircuitData& circuit, int num_cbits, TensorShapeReader read_bound_shape) {
    bool any_measure = false;
    for (const auto& instruction : circuit.instructions)
        any_measure = any_measure || operation_kind(instruction.name) == OperationKind::kMeasure;
    if (!any_measure) {
        throw std::runtime_error(
            "Circuit does not contain any MEASURE gate. Measurement requires explicit MEASURE gates in the circuit.");
    }
    ShotSetup setup;
    setup.batches = std::max(batch_count(circuit, read_bound_shape), 1);
    setup.per_shot = needs_per_shot(circuit);
    for (const auto& instruction : circuit.instructions) {
        if (is_counted_measure(instruction, num_cbits)) {
            setup.measured.push_back({instruction.qubits[0], classical_bit(instruction)});
        }
    }
    refuse_out_of_range(circuit, setup);
    return setup;
}

}  // namespace wavesim
