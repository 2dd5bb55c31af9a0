// Diagonal batches: greedy runs of diagonal gates and their entries from the gates' angles.
#include "wavesim/plan/diagonal_batches.h"

#include <array>
#include <cmath>
#include <complex>

#include "wavesim/base/bits.h"
#include "wavesim/gates/gate_constants.h"
#include "wavesim/gates/matrix_form.h"

namespace wavesim {
namespace {

constexpr int kEighths = 8;

// Eighths of a turn of a fixed phase kernel's phase (0: not one).
int fixed_eighths(KernelGate gate) {
    switch (gate) {
        case KernelGate::kZ: return 4;
        case KernelGate::kS: return 2;
        case KernelGate::kSdg: return 6;
        case KernelGate::kT: return 1;
        case KernelGate::kTdg: return 7;
        default: return 0;
    }
}

// Eighths of a turn of an entry that is 1, i, -1 or -i; -1 for any other.
int quarter_eighths(const Complex& e) {
    if (e == Complex(1, 0)) return 0;
    if (e == Complex(0, 1)) return 2;
    if (e == Complex(-1, 0)) return 4;
    if (e == Complex(0, -1)) return 6;
    return -1;
}

// A batch's entries as they are summed: per entry, counted eighths, summed angles and the product of magnitudes.
struct PhaseSums {
    std::vector<int> eighths;
    std::vector<double> angle;
    std::vector<double> magnitude;

    explicit PhaseSums(size_t entries) : eighths(entries, 0), angle(entries, 0.0), magnitude(entries, 1.0) {}

    // Adds a gate on the batch's qubits `qubits` (bit j of an entry is its j-th lowest).
    void add(const KernelCall& call, uint64_t qubits) {
        const bool matrix = call.gate == KernelGate::kMatrix;
        const int targets = matrix ? call.num_targets : 1;
        uint64_t target_bits = 0;
        for (int j = 0; j < targets; ++j) target_bits |= bit(call.targets[j]);
        if ((call.zeros & target_bits) != 0) return;           // an open control on a target never holds
        if (matrix && (call.ones & target_bits) != 0) return;  // as the matrix kernels
        // What each row of the gate adds: its eighths, or its angle and magnitude.
        const uint64_t dim = uint64_t{1} << targets;
        constexpr size_t kRows = size_t{1} << kMaxMatrixTargets;
        std::array<int, kRows> row_eighths{};
        std::array<double, kRows> row_angle{}, row_magnitude{};
        for (uint64_t row = 0; row < dim; ++row) {
            row_magnitude[row] = 1.0;
            if (!matrix) {
                row_eighths[row] = row == 1 ? fixed_eighths(call.gate) : 0;
                continue;
            }
            const Complex& entry = (*call.matrix)[row * dim + row];
            row_eighths[row] = quarter_eighths(entry);
            if (row_eighths[row] >= 0) continue;
            row_eighths[row] = 0;
            row_angle[row] = std::atan2(entry.imag(), entry.real());
            row_magnitude[row] = std::abs(entry);
        }
        const uint64_t ones = compress_mask(qubits, call.ones);
        const uint64_t zeros = compress_mask(qubits, call.zeros);
        int at[kMaxMatrixTargets];
        for (int j = 0; j < targets; ++j) at[j] = position_in(qubits, call.targets[j]);
        for (uint64_t e = 0; e < eighths.size(); ++e) {
            if ((e & ones) != ones || (e & zeros) != 0) continue;
            uint64_t row = 0;
            for (int j = 0; j < targets; ++j) row |= ((e >> at[j]) & 1) << j;
            eighths[e] += row_eighths[row];
            angle[e] += row_angle[row];
            magnitude[e] *= row_magnitude[row];
        }
    }

    Complex entry(size_t e) const {
        double re = magnitude[e] * std::cos(angle[e]);
        double im = magnitude[e] * std::sin(angle[e]);
        const int turn = eighths[e] % kEighths;
        if (turn % 2 != 0) {  // times (1 + i) / sqrt(2)
            const double rotated_re = (re - im) * kTPhaseComponent;
            im = (re + im) * kTPhaseComponent;
            re = rotated_re;
        }
        switch (turn / 2) {
            case 1: return {-im, re};
            case 2: return {-re, -im};
            case 3: return {im, -re};
            default: return {re, im};
        }
    }
};

PlanStep batch_step(const std::vector<PlanStep>& steps, const std::vector<size_t>& members, uint64_t qubits,
                    std::deque<Matrix>& store) {
    PhaseSums sums(size_t{1} << popcount(qubits));
    for (size_t m : members) sums.add(steps[m].call, qubits);
    Matrix& entries = store.emplace_back(sums.eighths.size());
    for (size_t e = 0; e < entries.size(); ++e) entries[e] = sums.entry(e);
    PlanStep step;
    step.kind = OperationKind::kGate;
    step.qubits = qubits;
    step.call.gate = KernelGate::kDiagonal;
    step.call.num_targets = popcount(qubits);
    int j = 0;
    for (uint64_t m = qubits; m != 0; m &= m - 1) step.call.targets[j++] = lowest_bit(m);
    step.call.matrix = &entries;
    return step;
}

}  // namespace

bool is_diagonal_step(const PlanStep& step) {
    if (step.kind != OperationKind::kGate) return false;
    const KernelCall& call = step.call;
    if (call.gate == KernelGate::kMatrix) return (real_kinds(call.form) | imag_kinds(call.form)) == kDiagonalEntry;
    return fixed_eighths(call.gate) != 0;
}

int batch_qubits_for(unsigned num_qubits) { return num_qubits >= kBatchMinQubits ? kMaxDiagonalTargets : 0; }

std::vector<PlanStep> batch_diagonals(const std::vector<PlanStep>& steps, int max_qubits, std::deque<Matrix>& store) {
    // The batches, greedily: each diagonal step's batch, and each batch's qubits.
    constexpr size_t kNone = ~size_t{0};
    std::vector<size_t> batch_of(steps.size(), kNone);
    std::vector<std::vector<size_t>> members;
    std::vector<uint64_t> qubits;
    uint64_t blocked = 0;  // qubits of the other steps taken since the open batch opened
    for (size_t i = 0; i < steps.size(); ++i) {
        const PlanStep& step = steps[i];
        if (!is_diagonal_step(step)) {
            blocked |= step.qubits;
            continue;
        }
        const bool joins = !members.empty() && (step.qubits & blocked) == 0 &&
                           popcount(qubits.back() | step.qubits) <= max_qubits;
        if (!joins) {
            members.emplace_back();
            qubits.push_back(0);
            blocked = 0;
        }
        batch_of[i] = members.size() - 1;
        members.back().push_back(i);
        qubits.back() |= step.qubits;
    }
    // A batch that becomes a step takes the place of its first gate; any other keeps its gates in their places.
    std::vector<PlanStep> out;
    out.reserve(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        const size_t b = batch_of[i];
        if (b == kNone || members[b].size() < 2 || popcount(qubits[b]) < kMinBatchQubits) {
            out.push_back(steps[i]);
        } else if (members[b][0] == i) {
            out.push_back(batch_step(steps, members[b], qubits[b], store));
        }
    }
    return out;
}

}  // namespace wavesim
