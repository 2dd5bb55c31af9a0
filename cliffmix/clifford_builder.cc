// Argument checks, seeding and the draw loop of the Clifford builders.
#include "clifford_builder.h"

#include <stdexcept>

#include "gate_selection.h"
#include "uniform_below.h"

namespace cliffmix {
namespace {

void check_num_qubits(int32_t num_qubits) {
    if (num_qubits < 1) throw std::invalid_argument("num_qubits must be >= 1");
}

CircuitData empty_circuit(int32_t num_qubits, size_t capacity) {
    CircuitData circuit;
    circuit.num_qubits = num_qubits;
    circuit.instructions.reserve(capacity);
    return circuit;
}

std::string entry_label(size_t position) { return "qubit_indices[" + std::to_string(position) + "]"; }

// The indices the record will hold: all of them for "SWAP", the gate's own
// count otherwise.
size_t written_index_count(const CliffordGate& gate, size_t given) {
    return gate.layout == QubitLayout::kSwap ? given : required_index_count(gate);
}

void check_operands(const CliffordGate& gate, const std::vector<int32_t>& indices, int32_t num_qubits,
                    size_t position) {
    const size_t needed = required_index_count(gate);
    if (indices.size() < needed) {
        throw std::invalid_argument(entry_label(position) + " has " + std::to_string(indices.size()) +
                                    " qubit index(es); gate '" + std::string(gate.name) + "' needs " +
                                    std::to_string(needed));
    }
    const size_t written = written_index_count(gate, indices.size());
    for (size_t k = 0; k < written; ++k) {
        if (indices[k] < 0 || indices[k] >= num_qubits) {
            throw std::invalid_argument(entry_label(position) + "[" + std::to_string(k) +
                                        "] = " + std::to_string(indices[k]) + " is outside the qubit range 0 ... " +
                                        std::to_string(num_qubits - 1));
        }
    }
    if (is_two_qubit_gate(gate) && indices[0] == indices[1]) {
        throw std::invalid_argument(entry_label(position) + ": gate '" + std::string(gate.name) +
                                    "' needs two different qubits, got " + std::to_string(indices[0]) + " twice");
    }
}

}  // namespace

uint32_t resolve_seed(int32_t seed) {
    if (seed >= 0) return static_cast<uint32_t>(seed);
    std::random_device device;
    return static_cast<uint32_t>(device());
}

CircuitData draw_random_clifford(int32_t num_qubits, int32_t num_gates,
                                 const std::vector<const CliffordGate*>& selection, std::mt19937& generator) {
    CircuitData circuit = empty_circuit(num_qubits, static_cast<size_t>(num_gates));
    const auto selection_size = static_cast<uint32_t>(selection.size());
    const auto qubit_count = static_cast<uint32_t>(num_qubits);
    for (int32_t i = 0; i < num_gates; ++i) {
        const CliffordGate& gate = *selection[uniform_below(generator, selection_size)];
        int32_t qubits[2];
        qubits[0] = static_cast<int32_t>(uniform_below(generator, qubit_count));
        size_t count = 1;
        if (is_two_qubit_gate(gate)) {
            // Skipping over the first qubit makes every ordered pair of distinct qubits equally likely.
            uint32_t second = uniform_below(generator, qubit_count - 1);
            if (second >= static_cast<uint32_t>(qubits[0])) ++second;
            qubits[1] = static_cast<int32_t>(second);
            count = 2;
        }
        circuit.instructions.push_back(make_clifford_instruction(gate, qubits, count));
    }
    return circuit;
}

CircuitData build_random_clifford_data(int32_t num_qubits, int32_t num_gates, pybind11::handle gates, int32_t seed) {
    check_num_qubits(num_qubits);
    if (num_gates < 0) throw std::invalid_argument("num_gates must be >= 0");
    const std::vector<const CliffordGate*> selection = parse_gate_selection(gates);
    if (num_qubits < 2) {
        for (const CliffordGate* gate : selection) {
            if (is_two_qubit_gate(*gate)) throw std::invalid_argument("Two-qubit gates require num_qubits >= 2");
        }
    }
    std::mt19937 generator(resolve_seed(seed));
    return draw_random_clifford(num_qubits, num_gates, selection, generator);
}

CircuitData build_random_clifford_from_indices(int32_t num_qubits, const std::vector<std::string>& gate_names,
                                               const std::vector<std::vector<int32_t>>& qubit_indices) {
    check_num_qubits(num_qubits);
    if (gate_names.size() != qubit_indices.size()) {
        throw std::invalid_argument("gate_names and qubit_indices must have the same length");
    }
    CircuitData circuit = empty_circuit(num_qubits, gate_names.size());
    for (size_t i = 0; i < gate_names.size(); ++i) {
        const CliffordGate* gate = find_clifford_gate(gate_names[i]);
        if (gate == nullptr) throw std::invalid_argument(unsupported_gate_message(gate_names[i]));
        const std::vector<int32_t>& indices = qubit_indices[i];
        check_operands(*gate, indices, num_qubits, i);
        circuit.instructions.push_back(make_clifford_instruction(*gate, indices.data(), indices.size()));
    }
    return circuit;
}

}  // namespace cliffmix
