// Channel checks, and channels, MEASURE and RESET as branches of Kraus operators.
#include "wavesim/noise/channels.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <variant>

#include "wavesim/batch/batch_count.h"
#include "wavesim/plan/compile.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {
namespace {

std::string named(const CircuitInstruction& ins, size_t index) {
    return "instruction " + std::to_string(index) + " (" + ins.name + ")";
}

uint64_t dim_of(int width) { return uint64_t{1} << width; }

// The operators of a KRAUS record: blocks one after another, each column-major, as row-major matrices.
std::vector<Matrix> matrix_blocks(const CircuitInstruction& ins, int width) {
    const uint64_t d = dim_of(width);
    std::vector<Matrix> out(ins.matrix.size() / (d * d), Matrix(d * d));
    for (size_t k = 0; k < out.size(); ++k)
        for (uint64_t r = 0; r < d; ++r)
            for (uint64_t c = 0; c < d; ++c) out[k][r * d + c] = ins.matrix[k * d * d + c * d + r];
    return out;
}

// A lower bound on the smallest eigenvalue of K^dagger K (Gershgorin's discs), at least 0.
double lower_bound(const Matrix& k, int width) {
    const uint64_t d = dim_of(width);
    const Matrix w = weight_of(k, width);
    double low = INFINITY;
    for (uint64_t r = 0; r < d; ++r) {
        double radius = 0.0;
        for (uint64_t c = 0; c < d; ++c)
            if (c != r) radius += std::abs(w[r * d + c]);
        low = std::min(low, w[r * d + r].real() - radius);
    }
    return std::max(low, 0.0);
}

void check_kraus(const CircuitInstruction& ins, size_t index, int width) {
    const uint64_t d = dim_of(width);
    if (ins.matrix.empty() || ins.matrix.size() % (d * d) != 0)
        throw std::invalid_argument(named(ins, index) + ": " + std::to_string(ins.matrix.size()) +
                                    " matrix entries are not whole " + std::to_string(d) + "x" + std::to_string(d) +
                                    " blocks (its Kraus operators one after another)");
    for (const Complex& entry : ins.matrix)
        if (!std::isfinite(entry.real()) || !std::isfinite(entry.imag()))
            throw std::invalid_argument(named(ins, index) + ": an entry of its matrix is not finite");
    Matrix total(d * d);
    for (const Matrix& k : matrix_blocks(ins, width)) {
        const Matrix w = weight_of(k, width);
        for (size_t e = 0; e < total.size(); ++e) total[e] += w[e];
    }
    double error = 0.0;
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c) error = std::max(error, std::abs(total[r * d + c] - (r == c ? 1.0 : 0.0)));
    if (!(error <= kCompletenessTolerance))
        throw std::invalid_argument(named(ins, index) +
                                    ": its Kraus operators are not complete (sum K^dagger K "
                                    "differs from the identity by " +
                                    shown_number(error) + ", more than " + shown_number(kCompletenessTolerance) + ")");
}

// The probabilities of a mixture for one set of values: product 0 takes the rest.
std::vector<double> mixture(const ChannelEntry& channel, const double* values, int width) {
    std::vector<double> p(size_t(1) << (2 * width), 0.0);
    channel.pauli(values, p.data());
    double rest = 1.0;
    for (size_t k = 1; k < p.size(); ++k) rest -= p[k];
    p[0] = std::max(rest, 0.0);
    return p;
}

void check_values(const CircuitInstruction& ins, size_t index, const ChannelEntry& channel, int width, int batches) {
    const size_t k = size_t(channel.num_params);
    const size_t count = value_count(ins.param.value);
    const size_t distinct = count > k ? std::min<size_t>(size_t(std::max(batches, 1)), count / k) : 1;
    for (size_t b = 0; b < distinct; ++b) {
        const ValueSlice slice = batch_slice(ins, k, int(b));
        const std::string where = named(ins, index) + (batches >= 2 ? ", parameter set " + std::to_string(b) : "");
        if (size_t(slice.end - slice.begin) < k)
            throw std::invalid_argument(where + " has " + std::to_string(slice.end - slice.begin) +
                                        " values, fewer than the " + std::to_string(k) + " a set of it takes");
        for (const double* v = slice.begin; v != slice.begin + k; ++v) {
            if (!std::isfinite(*v))
                throw std::invalid_argument(where + ": the value " + shown_number(*v) + " is not finite");
            if (*v < 0.0 || *v > 1.0)
                throw std::invalid_argument(where + ": the probability " + shown_number(*v) + " is outside [0, 1]");
        }
        if (channel.pauli == nullptr) continue;
        std::vector<double> p(size_t(1) << (2 * width), 0.0);
        channel.pauli(slice.begin, p.data());
        double sum = 0.0;
        for (size_t j = 1; j < p.size(); ++j) sum += p[j];
        if (sum > 1.0 + kProbabilitySlack)
            throw std::invalid_argument(where + ": its probabilities sum to " + shown_number(sum) + ", above 1");
    }
}

void check_channel(const CircuitInstruction& ins, size_t index, const ChannelEntry& channel, int num_qubits,
                   int batches) {
    if (!ins.controls.empty()) throw std::invalid_argument(named(ins, index) + ": a noise channel takes no controls");
    if (ins.dagger) throw std::invalid_argument(named(ins, index) + ": a noise channel takes no dagger");
    const int width = int(ins.qubits.size());
    if (channel.num_qubits == 0 ? (width < 1 || width > 2) : width != channel.num_qubits)
        throw std::invalid_argument(named(ins, index) + " acts on " +
                                    (channel.num_qubits == 0 ? "1 or 2" : std::to_string(channel.num_qubits)) +
                                    " qubits, not " + std::to_string(width));
    const bool sized = num_qubits >= 0 && num_qubits <= int(kMaxStateQubits);
    for (int j = 0; j < width; ++j) {
        const int32_t q = ins.qubits[size_t(j)];
        if (sized && (q < 0 || q >= num_qubits))
            throw std::invalid_argument(named(ins, index) + " addresses qubit " + std::to_string(q) +
                                        ", outside a state of " + std::to_string(num_qubits) + " qubits");
        if (j > 0 && q == ins.qubits[0])
            throw std::invalid_argument(named(ins, index) + " names qubit " + std::to_string(q) + " twice");
    }
    if (channel.pauli == nullptr && channel.kraus == nullptr) check_kraus(ins, index, width);
    else check_values(ins, index, channel, width, batches);
}

}  // namespace

std::string shown_number(double x) {
    if (std::isnan(x)) return "nan";
    std::ostringstream out;
    out << x;
    return out.str();
}

Matrix weight_of(const Matrix& kraus, int width) {
    const uint64_t d = dim_of(width);
    Matrix w(d * d);
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c)
            for (uint64_t i = 0; i < d; ++i) w[r * d + c] += std::conj(kraus[i * d + r]) * kraus[i * d + c];
    return w;
}

size_t first_channel(const std::vector<CircuitInstruction>& instructions) {
    size_t i = 0;
    while (i < instructions.size() && find_channel(instructions[i].name) == nullptr) ++i;
    return i;
}

void refuse_channels(const std::vector<CircuitInstruction>& instructions, const std::string& entry,
                     const std::string& reason) {
    const size_t i = first_channel(instructions);
    if (i < instructions.size())
        throw std::invalid_argument(entry + ": " + named(instructions[i], i) + " is a noise channel: " + reason);
}

void check_channels(const std::vector<CircuitInstruction>& instructions, int num_qubits, int batches) {
    for (size_t i = 0; i < instructions.size(); ++i)
        if (const ChannelEntry* channel = find_channel(instructions[i].name))
            check_channel(instructions[i], i, *channel, num_qubits, batches);
}

ChannelAction channel_action(const CircuitInstruction& instruction, int batch_index) {
    const ChannelEntry& channel = *find_channel(instruction.name);
    ChannelAction action;
    action.width = int(instruction.qubits.size());
    for (int j = 0; j < action.width; ++j) action.qubits[j] = instruction.qubits[size_t(j)];
    if (channel.pauli != nullptr) {
        const ValueSlice values = batch_slice(instruction, size_t(channel.num_params), batch_index);
        const std::vector<double> p = mixture(channel, values.begin, action.width);
        for (size_t k = 0; k < p.size(); ++k) {
            if (p[k] <= 0.0) continue;
            Matrix kraus = pauli_product(int(k), action.width);
            for (Complex& entry : kraus) entry *= std::sqrt(p[k]);
            action.branches.push_back({std::move(kraus), p[k], int(k)});
        }
        return action;
    }
    const std::vector<Matrix> operators =
        channel.kraus != nullptr
            ? channel.kraus(batch_slice(instruction, size_t(channel.num_params), batch_index).begin)
            : matrix_blocks(instruction, action.width);
    double total = 0.0;
    for (const Matrix& k : operators) {
        if (std::all_of(k.begin(), k.end(), [](const Complex& e) { return e == 0.0; })) continue;
        action.branches.push_back({k, lower_bound(k, action.width), -1});
        total += action.branches.back().lower;
    }
    // Bounds of operators that add up to the identity within rounding may sum a little above 1.
    if (total > 1.0)
        for (ChannelBranch& branch : action.branches) branch.lower /= total;
    return action;
}

ChannelAction measure_action(int qubit) {
    ChannelAction action;
    action.qubits[0] = qubit;
    action.branches = {{{1.0, 0.0, 0.0, 0.0}, 0.0, -1}, {{0.0, 0.0, 0.0, 1.0}, 0.0, -1}};
    return action;
}

ChannelAction reset_action(int qubit) {
    ChannelAction action;
    action.qubits[0] = qubit;
    action.branches = {{{1.0, 0.0, 0.0, 0.0}, 0.0, -1}, {{0.0, 1.0, 0.0, 0.0}, 0.0, -1}};
    return action;
}

bool is_identity(const ChannelAction& action) {
    if (action.branches.size() != 1) return false;
    const uint64_t d = dim_of(action.width);
    const Matrix& k = action.branches[0].kraus;
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c)
            if (k[r * d + c] != (r == c ? 1.0 : 0.0)) return false;
    return true;
}

Matrix superoperator(const ChannelAction& action) {
    const uint64_t d = dim_of(action.width);
    const uint64_t dd = d * d;
    Matrix s(dd * dd);
    for (const ChannelBranch& branch : action.branches) {
        // A mixture's branch adds p P (x) conj(P), whose entries are +-p or +-i p exactly.
        const bool mixed = branch.pauli >= 0;
        const Matrix& k = mixed ? pauli_product(branch.pauli, action.width) : branch.kraus;
        const double scale = mixed ? branch.lower : 1.0;
        for (uint64_t r = 0; r < d; ++r)
            for (uint64_t c = 0; c < d; ++c)
                for (uint64_t r2 = 0; r2 < d; ++r2)
                    for (uint64_t c2 = 0; c2 < d; ++c2)
                        s[(r * d + c) * dd + r2 * d + c2] += scale * k[r * d + r2] * std::conj(k[c * d + c2]);
    }
    return s;
}

}  // namespace wavesim
