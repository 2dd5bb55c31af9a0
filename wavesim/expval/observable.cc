// Observables: terms checked, merged and grouped by the qubits they flip.
#include "wavesim/expval/observable.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <stdexcept>

#include "wavesim/base/bits.h"

namespace wavesim {
namespace {

constexpr uint64_t kQuadBits = kQuadLanes - 1;
constexpr int kPhases = 4;  // powers of -i

[[noreturn]] void refuse(const std::string& where, size_t term, const std::string& reason) {
    throw std::invalid_argument(where + "term " + std::to_string(term) + ": " + reason);
}

// A printable character as itself, anything else by its code.
std::string shown(char c) {
    const auto code = static_cast<unsigned char>(c);
    constexpr unsigned char kFirstPrintable = 0x20;
    constexpr unsigned char kLastPrintable = 0x7e;
    if (code >= kFirstPrintable && code <= kLastPrintable) return std::string("'") + c + "'";
    return "of code " + std::to_string(code);
}

// A number as printf's %g shows it (six significant digits, so 1e-09 stays visible).
std::string shown(double x) {
    std::ostringstream out;
    out << x;
    return out.str();
}

PauliTerm check_term(const TermInput& term, size_t index, int num_qubits, const std::string& where) {
    for (size_t k = 0; k < term.paulis.size(); ++k) {
        const char c = term.paulis[k];
        if (c != 'I' && c != 'X' && c != 'Y' && c != 'Z')
            refuse(
                where, index,
                "character " + std::to_string(k) + " of the Pauli string, " + shown(c) + ", is not one of I, X, Y, Z");
    }
    if (term.paulis.size() != term.qubits.size())
        refuse(where, index,
               std::to_string(term.paulis.size()) + " Pauli letters but " + std::to_string(term.qubits.size()) +
                   " qubits");
    PauliTerm out;
    uint64_t seen = 0;
    for (size_t k = 0; k < term.qubits.size(); ++k) {
        const int64_t q = term.qubits[k];
        if (q < 0 || q >= num_qubits)
            refuse(where, index,
                   "qubit " + std::to_string(q) + " is outside a circuit of " + std::to_string(num_qubits) + " qubits");
        if (seen & bit(int(q))) refuse(where, index, "names qubit " + std::to_string(q) + " twice");
        seen |= bit(int(q));
        const char c = term.paulis[k];
        if (c == 'X' || c == 'Y') out.x_bits |= bit(int(q));
        if (c == 'Z' || c == 'Y') out.z_bits |= bit(int(q));
    }
    if (!std::isfinite(term.coefficient_real) || !std::isfinite(term.coefficient_imag))
        refuse(where, index, "the coefficient is not finite");
    if (term.coefficient_imag != 0.0)
        refuse(where, index,
               "the coefficient has the imaginary part " + shown(term.coefficient_imag) +
                   ": the observable must be Hermitian");
    out.coefficient = term.coefficient_real;
    return out;
}

// coefficient * (-i)^(number of Y) as (real, imaginary).
void phased(const PauliTerm& t, double& re, double& im) {
    const int ys = __builtin_popcountll(t.x_bits & t.z_bits) % kPhases;
    const double c = t.coefficient;
    re = ys == 0 ? c : ys == 2 ? -c : 0.0;
    im = ys == 1 ? -c : ys == 3 ? c : 0.0;
}

}  // namespace

std::vector<PauliTerm> check_observable(const std::vector<TermInput>& input, int num_qubits, const std::string& where) {
    std::vector<PauliTerm> terms;
    terms.reserve(input.size());
    for (size_t t = 0; t < input.size(); ++t) terms.push_back(check_term(input[t], t, num_qubits, where));
    return terms;
}

GroupedObservables group_observables(const std::vector<std::vector<PauliTerm>>& observables) {
    GroupedObservables out;
    out.count = int(observables.size());
    out.identity.assign(observables.size(), 0.0);
    out.has_identity.assign(observables.size(), false);
    out.bound.assign(observables.size(), 0.0);
    // flip -> mask -> observable -> weights; ordered maps give the ascending orders.
    std::map<uint64_t, std::map<uint64_t, std::map<int, LaneWeights>>> groups;
    for (size_t k = 0; k < observables.size(); ++k) {
        for (const PauliTerm& t : observables[k]) {
            out.bound[k] += std::fabs(t.coefficient);
            if (t.x_bits == 0 && t.z_bits == 0) {
                out.identity[k] += t.coefficient;
                out.has_identity[k] = true;
                out.reads_norm = true;
                continue;
            }
            LaneWeights& w = groups[t.x_bits][t.z_bits & ~kQuadBits][int(k)];
            w.observable = int(k);
            double re = 0.0;
            double im = 0.0;
            phased(t, re, im);
            for (int l = 0; l < kQuadLanes; ++l) {
                const double sign = __builtin_parityll(t.z_bits & uint64_t(l)) ? -1.0 : 1.0;
                w.re[l] += sign * re;
                w.im[l] += sign * im;
            }
        }
    }
    for (auto& [flip, classes] : groups) {
        FlipGroup& g = out.groups.emplace_back();
        g.flip = flip;
        for (auto& [mask, by_observable] : classes) {
            SignClass& c = g.classes.emplace_back();
            c.mask = mask;
            for (auto& [k, weights] : by_observable) c.weights.push_back(weights);
        }
    }
    if (out.groups.empty() && out.reads_norm) out.groups.emplace_back();
    return out;
}

}  // namespace wavesim
