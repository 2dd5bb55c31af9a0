// The n-local builder. The parameter count is predicted before anything is
// emitted so the table (and the names every instruction copies) exists first.
#include "n_local_builder.h"

#include <limits>
#include <stdexcept>

#include "entangler_maps.h"
#include "gate_tables.h"

namespace ansatzkit {
namespace {

// A block name resolved once per call instead of once per placed gate.
struct Block {
    const std::string* name = nullptr;
    int arity = 0;
    bool parametrised = false;
    const std::string* map = nullptr;  // entanglement blocks of two or more qubits only
};

const char* const kCountMismatch = "Parameters count mismatch";

// No name of the gate tables acts on more qubits than this.
constexpr int kMaxBlockArity = 2;

int64_t checked_add(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) throw std::length_error("n-local circuit too large");
    return sum;
}

int64_t checked_mul(int64_t a, int64_t b) {
    int64_t product;
    if (__builtin_mul_overflow(a, b, &product)) throw std::length_error("n-local circuit too large");
    return product;
}

Block resolve_block(const std::string& name) {
    Block block;
    block.name = &name;
    block.arity = gate_qubit_count(name);
    block.parametrised = gate_param_count(name) != 0;
    return block;
}

// Rotation names are looked up only when a gate could be placed, so with no
// qubits a misspelt rotation name goes unreported.
std::vector<Block> resolve_rotation_blocks(const NLocalRequest& request) {
    std::vector<Block> blocks;
    if (request.num_qubits <= 0) return blocks;
    for (const auto& name : request.rotation_names) blocks.push_back(resolve_block(name));
    return blocks;
}

// The map list may be shorter than the block list; a block that needs a map
// and has none is refused rather than read past the list.
const std::string& map_of_block(const NLocalRequest& request, size_t block) {
    if (block >= request.entangler_maps.size()) {
        throw std::out_of_range("no entanglement map for entanglement block " + std::to_string(block) + " (" +
                                request.entangler_names[block] + ")");
    }
    return request.entangler_maps[block];
}

std::vector<Block> resolve_entangler_blocks(const NLocalRequest& request) {
    std::vector<Block> blocks;
    for (size_t j = 0; j < request.entangler_names.size(); ++j) {
        Block block = resolve_block(request.entangler_names[j]);
        if (block.arity > 1) block.map = &map_of_block(request, j);
        blocks.push_back(block);
    }
    return blocks;
}

template <typename Place>
void walk_rotation_block(const Block& block, int num_qubits, Place&& place) {
    for (int64_t position = 0; position < num_qubits;) {
        const RotationPlacement placement = place_rotation(block.arity, position, num_qubits);
        if (!placement.skip) place(placement.first);
        position = placement.next;
    }
}

// Gates and parameter entries of one layer, known before anything is emitted.
struct LayerCounts {
    int64_t gates = 0;   // what the layer emits
    int64_t params = 0;  // what the table is sized for (may be negative, see below)
};

// The walk places a gate every `arity` positions until the next one would run
// past the last qubit, after which every position is skipped.
LayerCounts count_rotation_layer(const std::vector<Block>& blocks, int num_qubits) {
    LayerCounts counts;
    for (const Block& block : blocks) {
        const int64_t gates = num_qubits > 0 ? num_qubits / block.arity : 0;
        counts.gates = checked_add(counts.gates, gates);
        if (block.parametrised) counts.params = checked_add(counts.params, gates);
    }
    return counts;
}

// The parameter count takes each map's prediction as it is: a negative one
// (window maps on no qubits) leaves the table short, which the final count
// check reports. The gate count is what is actually placed.
LayerCounts count_entanglement_layer(const std::vector<Block>& blocks, int num_qubits) {
    LayerCounts counts;
    for (const Block& block : blocks) {
        const int64_t predicted =
            block.arity == 1 ? num_qubits : entangler_gate_count(*block.map, num_qubits, block.arity);
        counts.gates = checked_add(counts.gates, predicted > 0 ? predicted : 0);
        if (block.parametrised) counts.params = checked_add(counts.params, predicted);
    }
    return counts;
}

// One placed gate on (tuple[0], ..., tuple[arity - 1]): every qubit but the
// last is a control, whatever the gate's name.
void emit_gate(CircuitData& circuit, const Block& block, const int32_t* tuple, int& next_param) {
    CircuitInstruction& instruction = circuit.instructions.emplace_back();
    instruction.name = *block.name;
    instruction.controls.assign(tuple, tuple + block.arity - 1);
    instruction.qubits.assign(1, tuple[block.arity - 1]);
    if (block.parametrised) {
        // Only a table smaller than what is emitted (negative repetitions) gets
        // here without an entry; the final check would refuse it anyway.
        if (static_cast<size_t>(next_param) >= circuit.params.entries.size()) throw std::runtime_error(kCountMismatch);
        instruction.param = circuit.params.entries[static_cast<size_t>(next_param)];
        instruction.has_param = true;
        ++next_param;
    }
}

int add_rotation_layer(CircuitData& circuit, const std::vector<Block>& blocks, int next_param) {
    for (const Block& block : blocks) {
        walk_rotation_block(block, circuit.num_qubits, [&](int64_t first) {
            int32_t tuple[kMaxBlockArity];
            for (int j = 0; j < block.arity; ++j) tuple[j] = static_cast<int32_t>(first + j);
            emit_gate(circuit, block, tuple, next_param);
        });
    }
    return next_param;
}

int add_entanglement_layer(CircuitData& circuit, const std::vector<Block>& blocks,
                           const std::vector<QubitTuples>& tuples, int next_param) {
    for (size_t j = 0; j < blocks.size(); ++j) {
        const Block& block = blocks[j];
        if (block.arity == 1) {
            for (int32_t q = 0; q < circuit.num_qubits; ++q) emit_gate(circuit, block, &q, next_param);
            continue;
        }
        const QubitTuples& block_tuples = tuples[j];
        for (size_t t = 0; t < tuple_count(block_tuples); ++t) {
            emit_gate(circuit, block, &block_tuples.qubits[t * static_cast<size_t>(block.arity)], next_param);
        }
    }
    return next_param;
}

// The tuple lists are the same in every layer, so they are made once, when the
// first entanglement layer is due; an unknown map surfaces only then.
std::vector<QubitTuples> make_entangler_tuples(const std::vector<Block>& blocks, int num_qubits) {
    std::vector<QubitTuples> tuples(blocks.size());
    for (size_t j = 0; j < blocks.size(); ++j) {
        if (blocks[j].arity > 1) tuples[j] = entangler_tuples(*blocks[j].map, num_qubits, blocks[j].arity);
    }
    return tuples;
}

int32_t table_size(int64_t predicted) {
    if (predicted > std::numeric_limits<int32_t>::max()) {
        throw std::length_error("n-local circuit needs " + std::to_string(predicted) +
                                " parameters, more than a parameter table holds");
    }
    // A negative count can never equal the number of gates emitted.
    if (predicted < std::numeric_limits<int32_t>::min()) throw std::runtime_error(kCountMismatch);
    return static_cast<int32_t>(predicted);
}

}  // namespace

RotationPlacement place_rotation(int arity, int64_t position, int num_qubits) {
    RotationPlacement placement;
    placement.first = position;
    if (position + arity - 1 >= num_qubits) {
        placement.skip = true;
        placement.next = position + 1;
    } else {
        placement.next = position + arity;
    }
    return placement;
}

CircuitData build_n_local_data(const NLocalRequest& request) {
    const int n = request.num_qubits;
    const std::vector<Block> rotation_blocks = resolve_rotation_blocks(request);
    const std::vector<Block> entangler_blocks = resolve_entangler_blocks(request);
    const LayerCounts rotation = count_rotation_layer(rotation_blocks, n);
    const LayerCounts entanglement = count_entanglement_layer(entangler_blocks, n);

    int64_t predicted = checked_mul(request.repetitions, checked_add(rotation.params, entanglement.params));
    if (request.final_rotation) predicted = checked_add(predicted, rotation.params);

    CircuitData circuit;
    circuit.num_qubits = n;
    circuit.params = make_param_table(request.prefix, table_size(predicted));
    circuit.params.owner = &circuit;

    // Reserving the whole list first makes an impossible size fail before
    // any of it is written.
    const int repetitions = request.repetitions > 0 ? request.repetitions : 0;
    const int64_t gates_per_repetition = checked_add(rotation.gates, entanglement.gates);
    int64_t instruction_count = checked_mul(repetitions, gates_per_repetition);
    if (request.final_rotation) instruction_count = checked_add(instruction_count, rotation.gates);
    circuit.instructions.reserve(static_cast<size_t>(instruction_count));

    std::vector<QubitTuples> tuples;
    if (repetitions > 0) tuples = make_entangler_tuples(entangler_blocks, n);
    // The counts are exact, so repetitions that place no gate are skipped
    // rather than walked through one by one.
    const int emitted_repetitions = gates_per_repetition > 0 ? repetitions : 0;
    int next_param = 0;
    for (int r = 0; r < emitted_repetitions; ++r) {
        next_param = add_rotation_layer(circuit, rotation_blocks, next_param);
        next_param = add_entanglement_layer(circuit, entangler_blocks, tuples, next_param);
    }
    if (request.final_rotation) next_param = add_rotation_layer(circuit, rotation_blocks, next_param);
    if (next_param != circuit.params.size) throw std::runtime_error(kCountMismatch);
    return circuit;
}

}  // namespace ansatzkit
