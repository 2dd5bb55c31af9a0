// Gate vocabulary and matrices. One table holds every name; controlled names
// store only their target block and get the identity block on demand.
#include "wavesim/gates/gate_catalogue.h"

#include <cmath>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "wavesim/base/bits.h"

namespace wavesim {
namespace {


// One unit in the last place below the rounded 1/sqrt(2): the value the
// H, CH, U2, CU2, T and TDG matrices are defined with.
constexpr double kH = 0.7071067811865475;
constexpr double kHalf = 0.5;
const Complex kZero{0.0, 0.0};
const Complex kOne{1.0, 0.0};
const Complex kI{0.0, 1.0};
const Complex kMinusI{-0.0, -1.0};

double param_at(const std::vector<double>& params, size_t index) { return index < params.size() ? params[index] : 0.0; }

struct HalfAngle {
    double c;
    double s;
};

// cos and sin of theta/2 from the one argument theta * 0.5.
HalfAngle half_angle(double theta) {
    const double half = theta * kHalf;
    return {std::cos(half), std::sin(half)};
}

Complex phase(double angle) { return {std::cos(angle), std::sin(angle)}; }

Matrix one_qubit(Complex m00, Complex m01, Complex m10, Complex m11) { return {m00, m01, m10, m11}; }

Matrix diagonal(const std::vector<Complex>& entries) {
    const size_t d = entries.size();
    Matrix m(d * d, kZero);
    for (size_t i = 0; i < d; ++i) m[i * d + i] = entries[i];
    return m;
}

Matrix identity_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kOne); }
Matrix h_gate(const std::vector<double>&) { return one_qubit(kH, kH, kH, -kH); }
Matrix x_gate(const std::vector<double>&) { return one_qubit(kZero, kOne, kOne, kZero); }
Matrix y_gate(const std::vector<double>&) { return one_qubit(kZero, kMinusI, kI, kZero); }
Matrix z_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, -1.0); }
Matrix s_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kI); }
Matrix sdg_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, kMinusI); }
Matrix t_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, Complex(kH, kH)); }
Matrix tdg_gate(const std::vector<double>&) { return one_qubit(kOne, kZero, kZero, Complex(kH, -kH)); }

Matrix sx_gate(const std::vector<double>&) {
    const Complex plus{kHalf, kHalf};
    const Complex minus{kHalf, -kHalf};
    return one_qubit(plus, minus, minus, plus);
}

Matrix sy_gate(const std::vector<double>&) {
    const Complex plus{kHalf, kHalf};
    return one_qubit(plus, -plus, plus, plus);
}

Matrix swap_gate(const std::vector<double>&) {
    Matrix m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = kOne;
    m[2 * 4 + 1] = kOne;
    m[3 * 4 + 3] = kOne;
    return m;
}

Matrix iswap_gate(const std::vector<double>&) {
    Matrix m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = kI;
    m[2 * 4 + 1] = kI;
    m[3 * 4 + 3] = kOne;
    return m;
}

Matrix rx_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(a.c, kMinusI * a.s, kMinusI * a.s, a.c);
}

Matrix ry_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(a.c, -a.s, a.s, a.c);
}

Matrix rz_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return one_qubit(Complex(a.c, -a.s), kZero, kZero, Complex(a.c, a.s));
}

Matrix p_gate(const std::vector<double>& p) { return one_qubit(kOne, kZero, kZero, phase(param_at(p, 0))); }

Matrix r_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    return one_qubit(a.c, kMinusI * phase(-phi) * a.s, kMinusI * phase(phi) * a.s, a.c);
}

Matrix u2_gate(const std::vector<double>& p) {
    const double phi = param_at(p, 0);
    const double lambda = param_at(p, 1);
    return one_qubit(kH, -kH * phase(lambda), kH * phase(phi), kH * phase(phi + lambda));
}

Matrix u3_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    const double lambda = param_at(p, 2);
    return one_qubit(a.c, -a.s * phase(lambda), a.s * phase(phi), a.c * phase(phi + lambda));
}

// U3 times the global phase e^{i gamma}, each entry a complex product with it.
Matrix cu_target(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const double phi = param_at(p, 1);
    const double lambda = param_at(p, 2);
    const Complex g = phase(param_at(p, 3));
    return one_qubit(a.c * g, -a.s * (g * phase(lambda)), a.s * (g * phase(phi)), a.c * (g * phase(phi + lambda)));
}

// c on the diagonal, `corner` at (0, 3) and (3, 0), `middle` at (1, 2) and (2, 1).
Matrix two_qubit_rotation(double c, Complex corner, Complex middle) {
    Matrix m = diagonal({c, c, c, c});
    m[0 * 4 + 3] = corner;
    m[1 * 4 + 2] = middle;
    m[2 * 4 + 1] = middle;
    m[3 * 4 + 0] = corner;
    return m;
}

Matrix rxx_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return two_qubit_rotation(a.c, kMinusI * a.s, kMinusI * a.s);
}

Matrix ryy_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    return two_qubit_rotation(a.c, kI * a.s, kMinusI * a.s);
}

Matrix rzz_gate(const std::vector<double>& p) {
    const HalfAngle a = half_angle(param_at(p, 0));
    const Complex minus{a.c, -a.s};
    const Complex plus{a.c, a.s};
    return diagonal({minus, plus, plus, minus});
}

const GateEntry& known_gate(const std::string& name) {
    const GateEntry* gate = find_gate(name);
    if (gate == nullptr) throw std::runtime_error("Unknown gate: " + name);
    return *gate;
}

// diag(I, U): the controls are the most significant index bits, so U fills
// the last block of the identity.
Matrix controlled(const Matrix& target, int num_controls) {
    const size_t target_dim = static_cast<size_t>(std::lround(std::sqrt(static_cast<double>(target.size()))));
    const size_t dim = target_dim << num_controls;
    Matrix m(dim * dim, kZero);
    const size_t offset = dim - target_dim;
    for (size_t i = 0; i < offset; ++i) m[i * dim + i] = kOne;
    for (size_t r = 0; r < target_dim; ++r) {
        for (size_t c = 0; c < target_dim; ++c) m[(offset + r) * dim + offset + c] = target[r * target_dim + c];
    }
    return m;
}

}  // namespace

const std::vector<GateEntry>& gate_catalogue() {
    static const std::vector<GateEntry> kTable = {
        {"I", 0, 0, 1, identity_gate, FastKernel::kNone},
        {"ID", 0, 0, 1, identity_gate, FastKernel::kNone},
        {"H", 0, 0, 1, h_gate, FastKernel::kH},
        {"X", 0, 0, 1, x_gate, FastKernel::kX},
        {"Y", 0, 0, 1, y_gate, FastKernel::kY},
        {"Z", 0, 0, 1, z_gate, FastKernel::kZ},
        {"S", 0, 0, 1, s_gate, FastKernel::kS},
        {"SDG", 0, 0, 1, sdg_gate, FastKernel::kSdg},
        {"T", 0, 0, 1, t_gate, FastKernel::kT},
        {"TDG", 0, 0, 1, tdg_gate, FastKernel::kTdg},
        {"SX", 0, 0, 1, sx_gate, FastKernel::kNone},
        {"SY", 0, 0, 1, sy_gate, FastKernel::kNone},
        {"SWAP", 0, 0, 2, swap_gate, FastKernel::kSwap},
        {"ISWAP", 0, 0, 2, iswap_gate, FastKernel::kNone},
        {"CX", 0, 1, 1, x_gate, FastKernel::kCx},
        {"CNOT", 0, 1, 1, x_gate, FastKernel::kCx},
        {"CY", 0, 1, 1, y_gate, FastKernel::kNone},
        {"CZ", 0, 1, 1, z_gate, FastKernel::kCz},
        {"CH", 0, 1, 1, h_gate, FastKernel::kNone},
        {"CCX", 0, 2, 1, x_gate, FastKernel::kCcx},
        {"TOFFOLI", 0, 2, 1, x_gate, FastKernel::kCcx},
        {"CSWAP", 0, 1, 2, swap_gate, FastKernel::kNone},
        {"RX", 1, 0, 1, rx_gate, FastKernel::kNone},
        {"RY", 1, 0, 1, ry_gate, FastKernel::kNone},
        {"RZ", 1, 0, 1, rz_gate, FastKernel::kNone},
        {"P", 1, 0, 1, p_gate, FastKernel::kNone},
        {"U1", 1, 0, 1, p_gate, FastKernel::kNone},
        {"R", 2, 0, 1, r_gate, FastKernel::kNone},
        {"U2", 2, 0, 1, u2_gate, FastKernel::kNone},
        {"U3", 3, 0, 1, u3_gate, FastKernel::kNone},
        {"U", 3, 0, 1, u3_gate, FastKernel::kNone},
        {"RXX", 1, 0, 2, rxx_gate, FastKernel::kNone},
        {"RYY", 1, 0, 2, ryy_gate, FastKernel::kNone},
        {"RZZ", 1, 0, 2, rzz_gate, FastKernel::kNone},
        {"ISINGZZ", 1, 0, 2, rzz_gate, FastKernel::kNone},
        {"IZZ", 1, 0, 2, rzz_gate, FastKernel::kNone},
        {"CRX", 1, 1, 1, rx_gate, FastKernel::kNone},
        {"CRY", 1, 1, 1, ry_gate, FastKernel::kNone},
        {"CRZ", 1, 1, 1, rz_gate, FastKernel::kNone},
        {"CP", 1, 1, 1, p_gate, FastKernel::kNone},
        {"CU1", 1, 1, 1, p_gate, FastKernel::kNone},
        {"CU2", 2, 1, 1, u2_gate, FastKernel::kNone},
        {"CU3", 3, 1, 1, u3_gate, FastKernel::kNone},
        {"CU", 4, 1, 1, cu_target, FastKernel::kNone},
    };
    return kTable;
}

// Exact, case-sensitive lookup through an index of the table built at load time.
const GateEntry* find_gate(std::string_view name) {
    static const std::unordered_map<std::string_view, const GateEntry*> kIndex = [] {
        std::unordered_map<std::string_view, const GateEntry*> by_name;
        for (const GateEntry& gate : gate_catalogue()) by_name.emplace(gate.name, &gate);
        return by_name;
    }();
    const auto found = kIndex.find(name);
    return found == kIndex.end() ? nullptr : found->second;
}

Matrix gate_matrix(const std::string& name, const std::vector<double>& params) {
    const GateEntry& gate = known_gate(name);
    const Matrix target = gate.target(params);
    return gate.num_controls == 0 ? target : controlled(target, gate.num_controls);
}

Matrix target_matrix(const std::string& name, const std::vector<double>& params) {
    return known_gate(name).target(params);
}

int gate_param_count(const std::string& name) {
    const GateEntry* gate = find_gate(name);
    return gate == nullptr ? 0 : gate->num_params;
}

OperationKind operation_kind(std::string_view name) {
    if (name == "MEASURE") return OperationKind::kMeasure;
    if (name == "RESET") return OperationKind::kReset;
    if (name == "BARRIER" || name == "QIF" || name == "QWHILE") return OperationKind::kNoEffect;
    return OperationKind::kGate;
}

FastKernel fast_kernel(const GateEntry* gate, std::string_view name) {
    if (gate != nullptr) return gate->fast;
    return name == "Tdg" ? FastKernel::kTdg : FastKernel::kNone;
}

}  // namespace wavesim
