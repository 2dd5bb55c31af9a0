// The catalogue against matrices written out by hand from the gate
// definitions, name by name; every row's facts against its own matrix (its
// inverse undoes it, its form covers it, its kernel stands for it, it has one
// derivative per parameter); parameter counts and the conjugate transpose.
#include "wavesim/gates/gate_catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "wavesim/gates/matrix_form.h"

namespace wavesim {
namespace {

using Complex = std::complex<double>;

constexpr double kTheta = 0.3;
constexpr double kPhi = 1.1;
constexpr double kLambda = -0.7;
constexpr double kGamma = 0.4;
const std::vector<double> kParams = {kTheta, kPhi, kLambda, kGamma};

// 0x3FE6A09E667F3BCC: one unit below the correctly rounded 1/sqrt(2).
constexpr uint64_t kHBits = 0x3FE6A09E667F3BCCull;

uint64_t bits_of(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double h_value() {
    double h;
    std::memcpy(&h, &kHBits, sizeof h);
    return h;
}

const double kH = h_value();
const double kCos = std::cos(kTheta / 2);
const double kSin = std::sin(kTheta / 2);
const Complex kI{0.0, 1.0};

Complex e(double a) { return {std::cos(a), std::sin(a)}; }

// The matrix each name must give for kParams (target block for controlled names).
std::map<std::string, Matrix> expected_targets() {
    const Matrix id = {1, 0, 0, 1};
    const Matrix x = {0, 1, 1, 0};
    const Matrix y = {0, -kI, kI, 0};
    const Matrix z = {1, 0, 0, -1};
    const Matrix hm = {kH, kH, kH, -kH};
    const Matrix swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    const Matrix rx = {kCos, Complex(0, -kSin), Complex(0, -kSin), kCos};
    const Matrix ry = {kCos, -kSin, kSin, kCos};
    const Matrix rz = {Complex(kCos, -kSin), 0, 0, Complex(kCos, kSin)};
    const Matrix p = {1, 0, 0, e(kTheta)};
    const Matrix u2 = {kH, -kH * e(kPhi), kH * e(kTheta), kH * e(kTheta + kPhi)};
    const Matrix u3 = {kCos, -kSin * e(kLambda), kSin * e(kPhi), kCos * e(kPhi + kLambda)};
    const Matrix rzz = {Complex(kCos, -kSin), 0, 0, 0, 0, Complex(kCos, kSin), 0, 0, 0, 0,
                        Complex(kCos, kSin),  0, 0, 0, 0, Complex(kCos, -kSin)};
    const Complex mis{0, -kSin};
    const Complex pis{0, kSin};
    return {
        {"I", id},
        {"ID", id},
        {"H", hm},
        {"X", x},
        {"Y", y},
        {"Z", z},
        {"S", {1, 0, 0, kI}},
        {"SDG", {1, 0, 0, -kI}},
        {"T", {1, 0, 0, Complex(kH, kH)}},
        {"TDG", {1, 0, 0, Complex(kH, -kH)}},
        {"SX", {Complex(0.5, 0.5), Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(0.5, 0.5)}},
        {"SY", {Complex(0.5, 0.5), Complex(-0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5)}},
        {"SWAP", swap},
        {"ISWAP", {1, 0, 0, 0, 0, 0, kI, 0, 0, kI, 0, 0, 0, 0, 0, 1}},
        {"CX", x},
        {"CNOT", x},
        {"CY", y},
        {"CZ", z},
        {"CH", hm},
        {"CCX", x},
        {"TOFFOLI", x},
        {"CSWAP", swap},
        {"RX", rx},
        {"RY", ry},
        {"RZ", rz},
        {"P", p},
        {"U1", p},
        {"R",
         {kCos, Complex(-kSin * std::sin(kPhi), -kSin * std::cos(kPhi)),
          Complex(kSin * std::sin(kPhi), -kSin * std::cos(kPhi)), kCos}},
        {"U2", u2},
        {"U3", u3},
        {"U", u3},
        {"RXX", {kCos, 0, 0, mis, 0, kCos, mis, 0, 0, mis, kCos, 0, mis, 0, 0, kCos}},
        {"RYY", {kCos, 0, 0, pis, 0, kCos, mis, 0, 0, mis, kCos, 0, pis, 0, 0, kCos}},
        {"RZZ", rzz},
        {"ISINGZZ", rzz},
        {"IZZ", rzz},
        {"CRX", rx},
        {"CRY", ry},
        {"CRZ", rz},
        {"CP", p},
        {"CU1", p},
        {"CU2", u2},
        {"CU3", u3},
        {"CU",
         {kCos * e(kGamma), -kSin * e(kGamma + kLambda), kSin * e(kGamma + kPhi), kCos * e(kGamma + kPhi + kLambda)}},
    };
}

// Exact entrywise equality (0.0 and -0.0 count as equal).
void expect_exact(const Matrix& actual, const Matrix& expected, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t k = 0; k < actual.size(); ++k) {
        EXPECT_EQ(actual[k].real(), expected[k].real()) << what << " entry " << k;
        EXPECT_EQ(actual[k].imag(), expected[k].imag()) << what << " entry " << k;
    }
}

void expect_near(const Matrix& actual, const Matrix& expected, double tol, const std::string& what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t k = 0; k < actual.size(); ++k)
        EXPECT_LE(std::abs(actual[k] - expected[k]), tol) << what << " entry " << k;
}

size_t dim_of(const Matrix& m) { return static_cast<size_t>(std::lround(std::sqrt(static_cast<double>(m.size())))); }

// Products with a non-trivial global phase may be fused differently by the compiler.
constexpr double kProductTolerance = 4e-16;

TEST(GateCatalogue, EveryNameHasAnExpectedMatrixAndNoOtherNameExists) {
    const auto expected = expected_targets();
    std::set<std::string> names;
    for (const GateEntry& gate : gate_catalogue()) names.insert(gate.name);
    std::set<std::string> expected_names;
    for (const auto& entry : expected) expected_names.insert(entry.first);
    EXPECT_EQ(names, expected_names);
    EXPECT_EQ(names.size(), gate_catalogue().size()) << "a name is listed twice";
}

TEST(GateCatalogue, TargetMatricesMatchTheHandWrittenOnes) {
    const auto expected = expected_targets();
    for (const GateEntry& gate : gate_catalogue()) {
        const Matrix& want = expected.at(gate.name);
        const Matrix got = target_matrix(gate.name, kParams);
        if (std::string(gate.name) == "CU") {
            expect_near(got, want, kProductTolerance, gate.name);
        } else {
            expect_exact(got, want, gate.name);
        }
        EXPECT_EQ(got.size(), size_t{1} << (2 * gate.num_targets)) << gate.name;
    }
}

// Angles away from the special points where entries vanish.
std::vector<double> generic_params(std::mt19937& engine) {
    std::uniform_real_distribution<double> angle(0.1, 1.4);
    return {angle(engine), angle(engine), angle(engine), angle(engine)};
}

TEST(GateTable, EveryRowsFactsHoldForItsMatrix) {
    std::mt19937 engine(20261210);
    for (const GateEntry& gate : gate_catalogue()) {
        SCOPED_TRACE(gate.name);
        for (int point = 0; point < 20; ++point) {
            const std::vector<double> params = generic_params(engine);
            const Matrix m = gate.target(params);
            // The inverse named, or else the conjugate transpose, times the matrix is the identity.
            const Matrix inverse = gate.inverse != nullptr ? find_gate(gate.inverse)->target(params) : dagger_matrix(m);
            expect_near(multiply(inverse, m), identity_matrix(dim_of(m)), 1e-15, "inverse times matrix");
            EXPECT_EQ(kernel_form_of(m), gate.form) << "the row's form";
        }
        EXPECT_EQ(gate.derivatives != nullptr, gate.num_params > 0);
        if (gate.inverse != nullptr) {
            ASSERT_NE(find_gate(gate.inverse), nullptr);
            EXPECT_EQ(find_gate(gate.inverse)->num_params, 0) << "only fixed gates name their inverse";
            EXPECT_EQ(inverse_kernel(gate.kernel), find_gate(gate.inverse)->kernel);
        }
        EXPECT_TRUE(gate.num_params == 0 || gate.inverse == nullptr);
        if (gate.kernel != KernelGate::kMatrix) {
            EXPECT_EQ(gate.num_params, 0);
            expect_exact(fixed_kernel_matrix(gate.kernel), gate.target({}), "the kernel's matrix");
        }
    }
    EXPECT_EQ(dedicated_kernel(nullptr, "Tdg"), KernelGate::kTdg);
    EXPECT_EQ(dedicated_kernel(nullptr, "tdg"), KernelGate::kMatrix);
    EXPECT_EQ(inverse_kernel(KernelGate::kMatrix), KernelGate::kMatrix);
}

TEST(GateCatalogue, EveryMatrixIsUnitary) {
    for (const GateEntry& gate : gate_catalogue()) {
        const Matrix m = gate_matrix(gate.name, kParams);
        const size_t d = dim_of(m);
        for (size_t r = 0; r < d; ++r) {
            for (size_t q = 0; q < d; ++q) {
                Complex dot = 0;
                for (size_t k = 0; k < d; ++k) dot += m[r * d + k] * std::conj(m[q * d + k]);
                EXPECT_NEAR(std::abs(dot - Complex(r == q ? 1.0 : 0.0)), 0.0, 1e-15) << gate.name;
            }
        }
    }
}

TEST(GateCatalogue, FullMatricesOfControlledNamesAreIdentityPlusTargetBlock) {
    for (const GateEntry& gate : gate_catalogue()) {
        const Matrix target = target_matrix(gate.name, kParams);
        const Matrix full = gate_matrix(gate.name, kParams);
        if (gate.num_controls == 0) {
            expect_exact(full, target, gate.name);
            continue;
        }
        const size_t t = dim_of(target);
        const size_t d = t << gate.num_controls;
        ASSERT_EQ(full.size(), d * d) << gate.name;
        for (size_t r = 0; r < d; ++r) {
            for (size_t q = 0; q < d; ++q) {
                const bool in_block = r >= d - t && q >= d - t;
                const Complex want = in_block ? target[(r - (d - t)) * t + q - (d - t)] : Complex(r == q ? 1.0 : 0.0);
                EXPECT_EQ(full[r * d + q], want) << gate.name << " (" << r << "," << q << ")";
            }
        }
    }
}

TEST(GateCatalogue, FixedFullMatricesWrittenOut) {
    const Matrix cx = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0};
    expect_exact(gate_matrix("CX", {}), cx, "CX");
    expect_exact(gate_matrix("CNOT", {}), cx, "CNOT");
    expect_exact(gate_matrix("CY", {}), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, -kI, 0, 0, kI, 0}, "CY");
    expect_exact(gate_matrix("CZ", {}), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1}, "CZ");
    expect_exact(gate_matrix("CH", {}), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, kH, kH, 0, 0, kH, -kH}, "CH");
    Matrix ccx(64, 0.0);
    Matrix cswap(64, 0.0);
    for (int k = 0; k < 8; ++k) {
        ccx[k * 8 + k] = 1;
        cswap[k * 8 + k] = 1;
    }
    ccx[6 * 8 + 6] = ccx[7 * 8 + 7] = 0;
    ccx[6 * 8 + 7] = ccx[7 * 8 + 6] = 1;
    cswap[5 * 8 + 5] = cswap[6 * 8 + 6] = 0;
    cswap[5 * 8 + 6] = cswap[6 * 8 + 5] = 1;
    expect_exact(gate_matrix("CCX", {}), ccx, "CCX");
    expect_exact(gate_matrix("TOFFOLI", {}), ccx, "TOFFOLI");
    expect_exact(gate_matrix("CSWAP", {}), cswap, "CSWAP");
}

TEST(GateCatalogue, ConstantsAreBitExact) {
    EXPECT_EQ(bits_of(gate_matrix("H", {})[0].real()), kHBits);
    EXPECT_EQ(bits_of(gate_matrix("H", {})[3].real()), kHBits | (uint64_t{1} << 63));
    for (const char* name : {"T", "TDG"}) {
        const Complex phase = gate_matrix(name, {})[3];
        EXPECT_EQ(bits_of(phase.real()), kHBits) << name;
        EXPECT_EQ(bits_of(std::abs(phase.imag())), kHBits) << name;
    }
    EXPECT_GT(gate_matrix("T", {})[3].imag(), 0.0);
    EXPECT_LT(gate_matrix("TDG", {})[3].imag(), 0.0);
    EXPECT_EQ(bits_of(gate_matrix("U2", {0.0, 0.0})[0].real()), kHBits);
    EXPECT_EQ(bits_of(target_matrix("CH", {})[1].real()), kHBits);
    // -i is stored with a negative zero real part.
    EXPECT_TRUE(std::signbit(gate_matrix("Y", {})[1].real()));
    EXPECT_TRUE(std::signbit(gate_matrix("SDG", {})[3].real()));
}

TEST(GateCatalogue, AnglesComeFromOneHalfAngle) {
    const double pi = std::acos(-1.0);
    const Matrix rx = gate_matrix("RX", {pi});
    EXPECT_EQ(rx[0].real(), std::cos(pi * 0.5));
    EXPECT_NE(rx[0].real(), 0.0);
    EXPECT_EQ(rx[1], Complex(0.0, -1.0));
    // RZ and P differ by exactly the global phase e^{-i theta/2}.
    const Matrix rz = gate_matrix("RZ", {kTheta});
    const Matrix p = gate_matrix("P", {kTheta});
    for (size_t k = 0; k < 4; ++k) EXPECT_LE(std::abs(rz[k] - p[k] * Complex(kCos, -kSin)), 1e-16);
}

TEST(GateCatalogue, MissingParametersReadAsZeroAndExtraOnesAreIgnored) {
    expect_exact(gate_matrix("RX", {}), gate_matrix("I", {}), "RX()");
    expect_exact(gate_matrix("U", {kTheta}), gate_matrix("U3", {kTheta, 0.0, 0.0}), "U(theta)");
    expect_exact(gate_matrix("RY", {kTheta, 9.0, 9.0}), gate_matrix("RY", {kTheta}), "RY extra");
    expect_exact(target_matrix("CU", {kTheta, kPhi, kLambda}), gate_matrix("U3", {kTheta, kPhi, kLambda}), "CU 3");
    expect_exact(target_matrix("CU", {kTheta, kPhi, kLambda, 0.0}), gate_matrix("U3", {kTheta, kPhi, kLambda}), "CU 4");
}

TEST(GateCatalogue, ParameterCounts) {
    const std::map<std::string, int> counts = {
        {"RX", 1}, {"RY", 1},  {"RZ", 1},      {"P", 1},   {"U1", 1},  {"CRX", 1}, {"CRY", 1}, {"CRZ", 1},
        {"CP", 1}, {"CU1", 1}, {"ISINGZZ", 1}, {"IZZ", 1}, {"RXX", 1}, {"RYY", 1}, {"RZZ", 1}, {"R", 2},
        {"U2", 2}, {"CU2", 2}, {"U3", 3},      {"U", 3},   {"CU3", 3}, {"CU", 4},
    };
    for (const GateEntry& gate : gate_catalogue()) {
        const auto it = counts.find(gate.name);
        EXPECT_EQ(gate_param_count(gate.name), it == counts.end() ? 0 : it->second) << gate.name;
    }
    for (const char* name : {"MEASURE", "RESET", "BARRIER", "QIF", "rx", "Rx", "", "nonsense"}) {
        EXPECT_EQ(gate_param_count(name), 0) << name;
    }
}

class UnknownName : public ::testing::TestWithParam<std::string> {};

TEST_P(UnknownName, FailsWithTheNameAsGiven) {
    const std::string name = GetParam();
    for (auto lookup : {gate_matrix, target_matrix}) {
        try {
            lookup(name, {0.1});
            FAIL() << "no error for " << name;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Unknown gate: " + name);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(GateCatalogue, UnknownName,
                         ::testing::Values("MEASURE", "BARRIER", "RESET", "QWHILE", "rx", "Rx", "h", "Tdg", "Sdg",
                                           "IsingZZ", "su4", "", "RX ", "CCCX"));

TEST(DaggerMatrix, KnownPairs) {
    expect_exact(dagger_matrix(gate_matrix("S", {})), gate_matrix("SDG", {}), "S");
    expect_exact(dagger_matrix(gate_matrix("T", {})), gate_matrix("TDG", {}), "T");
    Matrix sx_conj = gate_matrix("SX", {});
    for (Complex& entry : sx_conj) entry = std::conj(entry);
    expect_exact(dagger_matrix(gate_matrix("SX", {})), sx_conj, "SX");
}

TEST(DaggerMatrix, TwiceIsTheIdentityForEveryGate) {
    for (const GateEntry& gate : gate_catalogue()) {
        const Matrix m = gate_matrix(gate.name, kParams);
        expect_exact(dagger_matrix(dagger_matrix(m)), m, gate.name);
    }
}

TEST(DaggerMatrix, ConjugateTransposeOfAGeneralMatrix) {
    Matrix m(16);
    for (int k = 0; k < 16; ++k) m[k] = Complex(k, 100 + k);
    const Matrix d = dagger_matrix(m);
    for (int r = 0; r < 4; ++r) {
        for (int q = 0; q < 4; ++q) EXPECT_EQ(d[r * 4 + q], Complex(q * 4 + r, -(100 + q * 4 + r)));
    }
    EXPECT_TRUE(dagger_matrix({}).empty());
    expect_exact(dagger_matrix({Complex(2, 3)}), {Complex(2, -3)}, "1x1");
}

class NotSquare : public ::testing::TestWithParam<size_t> {};

TEST_P(NotSquare, Refused) {
    try {
        dagger_matrix(Matrix(GetParam(), 1.0));
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "dagger_matrix: matrix is not square");
    }
}

INSTANTIATE_TEST_SUITE_P(DaggerMatrix, NotSquare, ::testing::Values(2, 3, 5, 8, 15, 17));

}  // namespace
}  // namespace wavesim
