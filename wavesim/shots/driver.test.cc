// count_batch against the literal procedure for both strategies, batches
// drawing in turn from one stream, degenerate shot counts, and refusals, which
// every procedure raises where a shot on its own meets them.
#include "wavesim/shots/driver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "wavesim/shots/literal.h"
#include "wavesim/testing/shots_circuits.h"

namespace wavesim {
namespace {

using namespace shot_tests;

template <typename Real>
class ShotDriver : public ::testing::Test {};
TYPED_TEST_SUITE(ShotDriver, Precisions);

TYPED_TEST(ShotDriver, SampleOnceBothTableForms) {
    for (int n : {4, 16, 17}) {
        CircuitData circuit = random_circuit(100 + static_cast<uint32_t>(n), n, 12, 0.0);
        ASSERT_FALSE(setup_shots(circuit, n).per_shot);
        expect_same_as_literal<TypeParam>(circuit, 3000, n, n);
    }
}

TYPED_TEST(ShotDriver, BatchesShareOneStream) {
    const CircuitData per_shot = random_circuit(7, 3, 20, 0.3, 3);
    expect_same_as_literal<TypeParam>(per_shot, 200, 3, 5);
    const CircuitData sample_once = random_circuit(8, 3, 20, 0.0, 3);
    expect_same_as_literal<TypeParam>(sample_once, 200, 3, 5);
}

TYPED_TEST(ShotDriver, DegenerateShotCounts) {
    const CircuitData circuit = random_circuit(11, 3, 10, 0.3);
    for (int shots : {0, -4, 1}) expect_same_as_literal<TypeParam>(circuit, shots, 3, 1);
    expect_same_as_literal<TypeParam>(circuit, 5, 0, 1);
}

// The type and message of what a call raised; empty when it returned.
struct Raised {
    std::string type;
    std::string message;
};

template <typename Call>
Raised raised_by(Call&& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return {typeid(error).name(), error.what()};
    }
    return {};
}

struct Refusal {
    const char* name;
    int num_qubits;
    std::vector<CircuitInstruction> instructions;
    const char* message;  // a part of the literal shot's message
};

// Per-shot circuits (a gate follows a measurement) that the simulator refuses
// wherever the refusal stands: before the first measurement, between two, or
// after the last one.
std::vector<Refusal> refusals() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const CircuitInstruction h = gate("H", {0});
    const CircuitInstruction x = gate("X", {1});
    return {
        {"unknown gate first", 2, {gate("FOO", {0}), measure(0, 0), x, measure(1, 1)}, "Unknown gate: FOO"},
        {"unknown gate between", 2, {h, measure(0, 0), gate("FOO", {1}), measure(1, 1)}, "Unknown gate: FOO"},
        {"unknown gate last", 2, {h, measure(0, 0), x, measure(1, 1), gate("FOO", {0})}, "Unknown gate: FOO"},
        {"NaN angle", 2, {h, measure(0, 0), gate("RY", {1}, {}, {nan}), measure(1, 1)}, "not finite"},
        {"infinite angle", 2, {h, measure(0, 0), gate("RX", {1}, {}, {inf}), measure(1, 1)}, "not finite"},
        {"gate qubit outside", 2, {h, measure(0, 0), gate("X", {5}), measure(1, 1)}, "gate X addresses qubit 5"},
        {"control on target", 2, {h, measure(0, 0), gate("CX", {1}, {1}), measure(1, 1)}, "as both control and target"},
        {"unsupported configuration",
         2,
         {h, measure(0, 0), gate("SWAP", {1}), measure(1, 1)},
         "unsupported configuration"},
        {"state too large", 63, {measure(0, 0), gate("X", {0}), measure(0, 1)}, "num_qubits out of supported range"},
    };
}

// What each procedure raises for a per-shot circuit, against a shot on its
// own: the outcome tree and the one-state procedure raise the refusal
// themselves, with the type and message of the literal shots.
template <typename Real>
void expect_raised_as_a_shot_raises(const CircuitData& circuit, int num_cbits, const char* name) {
    const ShotSetup setup = setup_shots(circuit, num_cbits);
    ASSERT_TRUE(setup.per_shot) << name;
    RandomSource literal_source = make_seeded_source(3);
    const Raised literal =
        raised_by([&] { literal_counts<Real>(circuit, setup, 0, 20, num_cbits, literal_source); });
    ASSERT_FALSE(literal.message.empty()) << name;
    RandomSource tree_source = make_seeded_source(3);
    const Raised tree = raised_by([&] { count_alone<Real>(circuit, setup, 0, 20, num_cbits, tree_source); });
    EXPECT_EQ(tree.type, literal.type) << name;
    EXPECT_EQ(tree.message, literal.message) << name;
    RandomSource one_state_source = make_seeded_source(3);
    const Raised one_state = raised_by([&] {
        LoneSetRun<Real> lone(circuit.num_qubits, 0);
        literal_shot_counts<Real>(circuit, lone.run, 20, num_cbits, one_state_source, kFusionOff);
    });
    EXPECT_EQ(one_state.type, literal.type) << name;
    EXPECT_EQ(one_state.message, literal.message) << name;
}

TYPED_TEST(ShotDriver, RefusalsAreRaisedWhereAShotMeetsThem) {
    for (const Refusal& refusal : refusals()) {
        CircuitData circuit;
        circuit.num_qubits = refusal.num_qubits;
        circuit.instructions = refusal.instructions;
        RandomSource source = make_seeded_source(3);
        const ShotSetup setup = setup_shots(circuit, 2);
        const Raised literal = raised_by([&] { literal_counts<TypeParam>(circuit, setup, 0, 20, 2, source); });
        EXPECT_NE(literal.message.find(refusal.message), std::string::npos)
            << refusal.name << ": the literal shots raised \"" << literal.message << "\"";
        expect_raised_as_a_shot_raises<TypeParam>(circuit, 2, refusal.name);
    }
}

// A negative register width fails as std::length_error where a shot makes
// its register (after its state, before any gate).
TYPED_TEST(ShotDriver, NegativeRegisterWidthFailsAsTheRegisterDoes) {
    CircuitData circuit;
    circuit.num_qubits = 2;
    circuit.instructions = {gate("H", {0}), measure(0, 0), gate("X", {1}), measure(1, 1)};
    expect_raised_as_a_shot_raises<TypeParam>(circuit, -1, "negative width");
}

}  // namespace
}  // namespace wavesim
