// Fixed gate tables of the n-local builder, built once when the library loads.
#include "gate_tables.h"

#include <stdexcept>
#include <unordered_map>

namespace ansatzkit {
namespace {

using GateTable = std::unordered_map<std::string, int>;

// Every name usable as a block. "CY" and the "CU*" names have a parameter
// count below but no qubit count, so they are refused as blocks.
const GateTable kGateQubitCounts = {
    {"U1", 1},  {"U2", 1},   {"U3", 1}, {"U", 1},    {"H", 1},     {"I", 1},       {"ID", 1},  {"T", 1},
    {"SX", 1},  {"X", 1},    {"Y", 1},  {"Z", 1},    {"S", 1},     {"RX", 1},      {"RY", 1},  {"RZ", 1},
    {"P", 1},   {"SY", 1},   {"R", 1},  {"SWAP", 2}, {"ISWAP", 2}, {"IsingZZ", 2}, {"RXX", 2}, {"RYY", 2},
    {"RZZ", 2}, {"CNOT", 2}, {"CX", 2}, {"CZ", 2},   {"CRX", 2},   {"CRY", 2},     {"CRZ", 2},
};

const GateTable kGateParamCounts = {
    {"CNOT", 0}, {"CX", 0},  {"CY", 0}, {"CZ", 0},  {"H", 0},       {"I", 0},    {"ID", 0},    {"T", 0},   {"SX", 0},
    {"X", 0},    {"Y", 0},   {"Z", 0},  {"S", 0},   {"SY", 0},      {"SWAP", 0}, {"ISWAP", 0}, {"U1", 1},  {"CU1", 1},
    {"RX", 1},   {"RY", 1},  {"RZ", 1}, {"P", 1},   {"IsingZZ", 1}, {"RXX", 1},  {"RYY", 1},   {"RZZ", 1}, {"CRX", 1},
    {"CRY", 1},  {"CRZ", 1}, {"U2", 2}, {"CU2", 2}, {"R", 2},       {"U3", 3},   {"U", 3},     {"CU3", 3},
};

// libstdc++'s own at() message differs from the one callers see, so the
// lookup failure is raised here with the fixed text.
int lookup(const GateTable& table, const std::string& name) {
    auto found = table.find(name);
    if (found == table.end()) throw std::out_of_range("invalid unordered_map<K, T> key");
    return found->second;
}

}  // namespace

int gate_qubit_count(const std::string& name) { return lookup(kGateQubitCounts, name); }

int gate_param_count(const std::string& name) { return lookup(kGateParamCounts, name); }

}  // namespace ansatzkit
