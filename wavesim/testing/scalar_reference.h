// Test-only scalar reference of gate application, shared by the kernel,
// gate-application and blocked-run tests: a plain index loop over
// std::complex<double>, the Kronecker-expanded full operator that checks the
// loop itself, and the helpers that move amplitudes in and out of a state.
#pragma once

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "wavesim/state/state_vector.h"

namespace wavesim {
namespace scalar_reference {

using Complex = std::complex<double>;
using Amplitudes = std::vector<Complex>;
// Row-major 2^k x 2^k; bit j of a row or column index is targets[j].
using Operator = std::vector<Complex>;
using Dense = std::vector<std::vector<Complex>>;

// Holds where bit `qubit` of the basis index equals `value` (1 closed, 0 open).
struct Control {
    Control(int q, int v = 1) : qubit(q), value(v) {}
    int qubit;
    int value;
};

inline bool bit_of(uint64_t index, int q) { return (index >> q) & 1u; }

inline bool controls_hold(uint64_t index, const std::vector<Control>& controls) {
    for (const Control& c : controls)
        if (int(bit_of(index, c.qubit)) != c.value) return false;
    return true;
}

// `u` on `targets` for every group of basis states whose controls hold; the
// other amplitudes keep their values.
inline Amplitudes apply(const Amplitudes& psi, const std::vector<int>& targets, const std::vector<Control>& controls,
                        const Operator& u) {
    const size_t d = size_t{1} << targets.size();
    Amplitudes out = psi;
    std::vector<uint64_t> members(d);
    for (uint64_t base = 0; base < psi.size(); ++base) {
        bool clear = true;
        for (int t : targets) clear = clear && !bit_of(base, t);
        if (!clear || !controls_hold(base, controls)) continue;
        for (size_t l = 0; l < d; ++l) {
            members[l] = base;
            for (size_t j = 0; j < targets.size(); ++j)
                if ((l >> j) & 1u) members[l] |= uint64_t{1} << targets[j];
        }
        for (size_t r = 0; r < d; ++r) {
            Complex sum = 0;
            for (size_t c = 0; c < d; ++c) sum += u[r * d + c] * psi[members[c]];
            out[members[r]] = sum;
        }
    }
    return out;
}

inline Dense kron(const Dense& x, const Dense& y) {
    Dense out(x.size() * y.size(), std::vector<Complex>(x.size() * y.size()));
    for (size_t a = 0; a < x.size(); ++a)
        for (size_t b = 0; b < x.size(); ++b)
            for (size_t c = 0; c < y.size(); ++c)
                for (size_t d = 0; d < y.size(); ++d) out[a * y.size() + c][b * y.size() + d] = x[a][b] * y[c][d];
    return out;
}

// The same operation as a full 2^n matrix built another way: the sum over
// entries u[r][c] of Kronecker products of |r_j><c_j| on the targets, |v><v|
// on each control and the identity elsewhere, plus the identity minus the
// control projector (nothing happens where the controls do not hold).
inline Dense full_operator(int n, const std::vector<int>& targets, const std::vector<Control>& controls,
                           const Operator& u) {
    const size_t d = size_t{1} << targets.size();
    auto product = [&](auto op_of) {
        Dense out = {{1}};
        for (int q = n - 1; q >= 0; --q) out = kron(out, op_of(q));
        return out;
    };
    auto control_or_identity = [&](int q) {
        for (const Control& c : controls)
            if (c.qubit == q) return c.value ? Dense{{0, 0}, {0, 1}} : Dense{{1, 0}, {0, 0}};
        return Dense{{1, 0}, {0, 1}};
    };
    const size_t dim = size_t{1} << n;
    Dense full(dim, std::vector<Complex>(dim));
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) {
            const Dense term = product([&](int q) {
                for (size_t j = 0; j < targets.size(); ++j)
                    if (targets[j] == q) {
                        Dense e = {{0, 0}, {0, 0}};
                        e[(r >> j) & 1][(c >> j) & 1] = 1;
                        return e;
                    }
                return control_or_identity(q);
            });
            for (size_t x = 0; x < dim; ++x)
                for (size_t y = 0; y < dim; ++y) full[x][y] += u[r * d + c] * term[x][y];
        }
    const Dense projector = product(control_or_identity);
    for (size_t x = 0; x < dim; ++x)
        for (size_t y = 0; y < dim; ++y) full[x][y] += (x == y ? 1.0 : 0.0) - projector[x][y];
    return full;
}

inline Amplitudes multiply(const Dense& m, const Amplitudes& psi) {
    Amplitudes out(psi.size());
    for (size_t x = 0; x < psi.size(); ++x)
        for (size_t y = 0; y < psi.size(); ++y) out[x] += m[x][y] * psi[y];
    return out;
}

// A normalised state of n qubits with normal random components.
inline Amplitudes random_state(int n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    Amplitudes a(size_t{1} << n);
    double norm = 0;
    for (Complex& x : a) {
        x = {normal(rng), normal(rng)};
        norm += std::norm(x);
    }
    for (Complex& x : a) x /= std::sqrt(norm);
    return a;
}

template <typename Real>
Amplitudes read(const StateView<Real>& s) {
    Amplitudes a(s.dim);
    for (uint64_t k = 0; k < s.dim; ++k) a[k] = {double(s.re[k]), double(s.im[k])};
    return a;
}

// Loads `a` rounded to Real and replaces `a` by the rounded values, so a
// reference starts from exactly what the state holds.
template <typename Real>
void load(StateView<Real>& s, Amplitudes& a) {
    for (uint64_t k = 0; k < s.dim; ++k) {
        s.re[k] = Real(a[k].real());
        s.im[k] = Real(a[k].imag());
    }
    a = read(s);
}

// Normally distributed parts (not normalised), from `engine`.
template <typename Real, typename Engine>
void fill_random(StateView<Real>& s, Engine& engine) {
    std::normal_distribution<double> normal;
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] = Real(normal(engine));
        s.im[i] = Real(normal(engine));
    }
}

template <typename Real>
bool same_bits(const StateView<Real>& a, const StateView<Real>& b) {
    return a.dim == b.dim && std::memcmp(a.re, b.re, a.dim * sizeof(Real)) == 0 &&
           std::memcmp(a.im, b.im, a.dim * sizeof(Real)) == 0;
}

// Equal values amplitude by amplitude (==: -0 equals +0, NaN equals nothing):
// the contract between the plain per-gate path and every faster one.
template <typename Real>
bool same_values(const StateView<Real>& a, const StateView<Real>& b) {
    if (a.dim != b.dim) return false;
    for (uint64_t k = 0; k < a.dim; ++k)
        if (!(a.re[k] == b.re[k] && a.im[k] == b.im[k])) return false;
    return true;
}

}  // namespace scalar_reference
}  // namespace wavesim
