// The channel table: Pauli mixtures by their probabilities, the damping channels by their Kraus operators.
#include "wavesim/gates/channel_catalogue.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>

namespace wavesim {
namespace {

constexpr int kX = 1;
constexpr int kY = 2;
constexpr int kZ = 3;

void x_error(const double* v, double* p) { p[kX] = v[0]; }
void y_error(const double* v, double* p) { p[kY] = v[0]; }
void z_error(const double* v, double* p) { p[kZ] = v[0]; }

void depolarize1(const double* v, double* p) {
    for (int k = 1; k < kPauliLetters; ++k) p[k] = v[0] / 3;
}

void depolarize2(const double* v, double* p) {
    for (int k = 1; k < kTwoQubitProducts; ++k) p[k] = v[0] / 15;
}

void pauli_channel_1(const double* v, double* p) {
    for (int k = 1; k < kPauliLetters; ++k) p[k] = v[k - 1];
}

// The values name the pairs IX, IY, IZ, XI, ..., ZZ: the first letter is on
// qubits[0], the low digit of the product.
void pauli_channel_2(const double* v, double* p) {
    for (int i = 1; i < kTwoQubitProducts; ++i) p[(i / kPauliLetters) + kPauliLetters * (i % kPauliLetters)] = v[i - 1];
}

// K0 = diag(1, sqrt(1 - s)); K1 moves |1> to |0> (amplitude) or keeps it (phase).
std::vector<Matrix> damping(double s, bool lower) {
    Matrix k0 = {1.0, 0.0, 0.0, std::sqrt(1.0 - s)};
    Matrix k1(4);
    k1[lower ? 1 : 3] = std::sqrt(s);
    return {k0, k1};
}

std::vector<Matrix> amplitude_damping(const double* v) { return damping(v[0], true); }
std::vector<Matrix> phase_damping(const double* v) { return damping(v[0], false); }

const Matrix& letter(int l) {
    static const Matrix kLetters[kPauliLetters] = {
        {1.0, 0.0, 0.0, 1.0}, {0.0, 1.0, 1.0, 0.0}, {0.0, Complex(0, -1), Complex(0, 1), 0.0}, {1.0, 0.0, 0.0, -1.0}};
    return kLetters[l];
}

}  // namespace

const std::vector<ChannelEntry>& channel_catalogue() {
    // name, values per set, qubits, Pauli mixture, Kraus operators
    static const std::vector<ChannelEntry> kTable = {
        {"X_ERROR", 1, 1, x_error, nullptr},
        {"Y_ERROR", 1, 1, y_error, nullptr},
        {"Z_ERROR", 1, 1, z_error, nullptr},
        {"DEPOLARIZE1", 1, 1, depolarize1, nullptr},
        {"DEPOLARIZE2", 1, 2, depolarize2, nullptr},
        {"PAULI_CHANNEL_1", 3, 1, pauli_channel_1, nullptr},
        {"PAULI_CHANNEL_2", 15, 2, pauli_channel_2, nullptr},
        {"AMPLITUDE_DAMPING", 1, 1, nullptr, amplitude_damping},
        {"PHASE_DAMPING", 1, 1, nullptr, phase_damping},
        {"KRAUS", 0, 0, nullptr, nullptr},
    };
    return kTable;
}

const ChannelEntry* find_channel(std::string_view name) {
    static const std::unordered_map<std::string_view, const ChannelEntry*> kIndex = [] {
        std::unordered_map<std::string_view, const ChannelEntry*> by_name;
        for (const ChannelEntry& channel : channel_catalogue()) by_name.emplace(channel.name, &channel);
        return by_name;
    }();
    // Every instruction of every call is looked up here, nearly all of them gates: the lengths of the channels'
    // names turn most gate names away before the name is hashed.
    static const uint64_t kLengths = [] {
        uint64_t lengths = 0;
        for (const ChannelEntry& channel : channel_catalogue()) lengths |= uint64_t{1} << std::strlen(channel.name);
        return lengths;
    }();
    if (name.size() >= 64 || ((kLengths >> name.size()) & 1) == 0) return nullptr;
    const auto found = kIndex.find(name);
    return found == kIndex.end() ? nullptr : found->second;
}

Matrix pauli_product(int product, int width) {
    const uint64_t dim = uint64_t{1} << width;
    Matrix out(dim * dim);
    for (uint64_t r = 0; r < dim; ++r)
        for (uint64_t c = 0; c < dim; ++c) {
            Complex entry = 1.0;
            int digits = product;
            for (int j = 0; j < width; ++j, digits /= kPauliLetters)
                entry *= letter(digits % kPauliLetters)[((r >> j) & 1) * 2 + ((c >> j) & 1)];
            out[r * dim + c] = entry;
        }
    return out;
}

}  // namespace wavesim
