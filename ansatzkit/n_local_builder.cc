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

const char* const count_mismatch = "Parameters count mismatch";

// No name of the gate tables acts on more qubits than this.
constexpr int max_block_arity = 2;

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

// The walk places a gate every `arity` positions until the next one would run
// past the last qubit, after which every position is skipped.
int64_t rotation_gate_count(const Block& block, int num_qubits) {
    return num_qubits > 0 ? num_qubits / block.arity : 0;
}

int64_t entangler_block_count(const Block& block, int num_qubits) {
    return block.arity == 1 ? num_qubits : entangler_gate_count(*block.map, num_qubits, block.arity);
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
        if (static_cast<size_t>(next_param) >= circuit.params.entries.size()) throw std::runtime_error(count_mismatch);
        instruction.param = circuit.params.entries[static_cast<size_t>(next_param)];
        instruction.has_param = true;
        ++next_param;
    }
}

int add_rotation_layer(CircuitData& circuit, const std::vector<Block>& blocks, int next_param) {
    for (const Block& block : blocks) {
        walk_rotation_block(block, circuit.num_qubits, [&](int64_t first) {
            int32_t tuple[max_block_arity];
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

int64_t entanglement_layer_size(const std::vector<Block>& blocks, const std::vector<QubitTuples>& tuples,
                                int num_qubits) {
    int64_t size = 0;
    for (size_t j = 0; j < blocks.size(); ++j) {
        const int64_t block_size = blocks[j].arity == 1 ? num_qubits : static_cast<int64_t>(tuple_count(tuples[j]));
        size = checked_add(size, block_size > 0 ? block_size : 0);
    }
    return size;
}

int32_t table_size(int64_t predicted) {
    if (predicted > std::numeric_limits<int32_t>::max()) {
        throw std::length_error("n-local circuit needs " + std::to_string(predicted) +
                                " parameters, more than a parameter table holds");
    }
    // A negative count can never equal the number of gates emitted.
    if (predicted < std::numeric_limits<int32_t>::min()) throw std::runtime_error(count_mismatch);
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

    int64_t rotation_params = 0;
    int64_t rotation_gates = 0;
    for (const Block& block : rotation_blocks) {
        const int64_t count = rotation_gate_count(block, n);
        rotation_gates = checked_add(rotation_gates, count);
        if (block.parametrised) rotation_params = checked_add(rotation_params, count);
    }
    int64_t entangler_params = 0;
    for (const Block& block : entangler_blocks) {
        if (block.parametrised) entangler_params = checked_add(entangler_params, entangler_block_count(block, n));
    }
    int64_t predicted = checked_mul(request.repetitions, checked_add(rotation_params, entangler_params));
    if (request.final_rotation) predicted = checked_add(predicted, rotation_params);

    CircuitData circuit;
    circuit.num_qubits = n;
    circuit.params = make_param_table(request.prefix, table_size(predicted));
    circuit.params.owner = &circuit;

    const int repetitions = request.repetitions > 0 ? request.repetitions : 0;
    std::vector<QubitTuples> tuples;
    int64_t instruction_count = request.final_rotation ? rotation_gates : 0;
    if (repetitions > 0) {
        tuples = make_entangler_tuples(entangler_blocks, n);
        const int64_t per_repetition = checked_add(rotation_gates, entanglement_layer_size(entangler_blocks, tuples, n));
        instruction_count = checked_add(instruction_count, checked_mul(repetitions, per_repetition));
    }
    circuit.instructions.reserve(static_cast<size_t>(instruction_count));

    int next_param = 0;
    for (int r = 0; r < repetitions; ++r) {
        next_param = add_rotation_layer(circuit, rotation_blocks, next_param);
        next_param = add_entanglement_layer(circuit, entangler_blocks, tuples, next_param);
    }
    if (request.final_rotation) next_param = add_rotation_layer(circuit, rotation_blocks, next_param);
    if (next_param != circuit.params.size) throw std::runtime_error(count_mismatch);
    return circuit;
}

}  // namespace ansatzkit
