// Every parametrised name of the catalogue against a central finite
// difference of its own target matrix, at many random points; the parameter
// counts against the catalogue's.
#include "wavesim/gates/gate_derivatives.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "wavesim/gates/gate_catalogue.h"

namespace wavesim {
namespace {

constexpr int kPoints = 50;
constexpr double kStep = 1e-5;
// The difference quotient's truncation (step^2 times the third derivative,
// at most 1 here) and rounding (1e-16 / step) errors, with room.
constexpr double kTolerance = 1e-9;
constexpr double kAngleRange = 7.0;

std::vector<double> random_params(std::mt19937& engine, int count) {
    std::uniform_real_distribution<double> angle(-kAngleRange, kAngleRange);
    std::vector<double> params;
    for (int p = 0; p < count; ++p) params.push_back(angle(engine));
    return params;
}

Matrix central_difference(const std::string& name, std::vector<double> params, size_t slot) {
    const double at = params[slot];
    params[slot] = at + kStep;
    const Matrix up = target_matrix(name, params);
    params[slot] = at - kStep;
    const Matrix down = target_matrix(name, params);
    Matrix out(up.size());
    for (size_t e = 0; e < up.size(); ++e) out[e] = (up[e] - down[e]) / (2 * kStep);
    return out;
}

TEST(GateDerivatives, OnePerParameterOfEveryName) {
    for (const GateEntry& gate : gate_catalogue()) {
        const std::vector<Matrix> derivatives = target_matrix_derivatives(gate.name, std::vector<double>(4, 0.3));
        EXPECT_EQ(int(derivatives.size()), gate.num_params) << gate.name;
        for (const Matrix& m : derivatives) EXPECT_EQ(m.size(), target_matrix(gate.name, {}).size()) << gate.name;
    }
    EXPECT_TRUE(target_matrix_derivatives("FOO", {0.1}).empty());
    EXPECT_TRUE(target_matrix_derivatives("rx", {0.1}).empty());
}

TEST(GateDerivatives, MatchCentralDifferencesOfTheCatalogue) {
    std::mt19937 engine(20261209);
    for (const GateEntry& gate : gate_catalogue()) {
        if (gate.num_params == 0) continue;
        for (int point = 0; point < kPoints; ++point) {
            const std::vector<double> params = random_params(engine, gate.num_params);
            const std::vector<Matrix> derivatives = target_matrix_derivatives(gate.name, params);
            ASSERT_EQ(int(derivatives.size()), gate.num_params);
            for (size_t slot = 0; slot < derivatives.size(); ++slot) {
                const Matrix want = central_difference(gate.name, params, slot);
                for (size_t e = 0; e < want.size(); ++e)
                    EXPECT_LT(std::abs(derivatives[slot][e] - want[e]), kTolerance)
                        << gate.name << " slot " << slot << " entry " << e;
            }
        }
    }
}

TEST(GateDerivatives, MissingParametersReadAsZero) {
    for (const GateEntry& gate : gate_catalogue()) {
        if (gate.num_params == 0) continue;
        EXPECT_EQ(target_matrix_derivatives(gate.name, {}),
                  target_matrix_derivatives(gate.name, std::vector<double>(size_t(gate.num_params), 0.0)))
            << gate.name;
    }
}

}  // namespace
}  // namespace wavesim
