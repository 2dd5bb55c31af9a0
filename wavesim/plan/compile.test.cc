// Resolving a gate into its kernel call: every dispatch case applied alone
// (apply_gate_single_batch, the reference path) against the shared scalar
// reference (an index loop over std::complex<double>, checked against a
// Kronecker-expanded operator in the kernel tests) with the catalogue matrix,
// on 4 and on 16 qubits; batch slices, the matrix cache and the store; every
// refusal, raised alike when a run is compiled.
#include "wavesim/plan/compile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <utility>

#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/testing/reference_path.h"
#include "wavesim/testing/scalar_reference.h"
#include "wavesim/testing/instructions.h"

namespace wavesim {
namespace {

namespace ref = scalar_reference;
using ref::Amplitudes;
using ref::Complex;
using ref::Control;
using ref::read;
using ref::same_bits;

constexpr int kSmallQubits = 4;
constexpr int kLargeQubits = 16;
constexpr double kDoubleTolerance = 1e-12;
constexpr double kFloatTolerance = 2e-6;

struct GateInput {
    std::string name;
    std::vector<int> qubits;
    std::vector<int> controls = {};
    std::vector<double> params = {};
    bool dagger = false;
    std::string ctrl_state = "";
};

CircuitInstruction make_instruction(const GateInput& in) {
    return testing_support::gate(in.name, {in.qubits.begin(), in.qubits.end()}, {in.controls.begin(), in.controls.end()},
                                 in.params, in.dagger, in.ctrl_state);
}

// What the instruction must do: matrix u on `targets` (first = least
// significant local bit) where every (qubit, value) control holds.
struct Reference {
    Matrix u;
    std::vector<int> targets;
    std::vector<Control> controls;
};

Reference reference_of(const GateInput& in, const std::string& catalogue_name = "") {
    Reference out;
    out.u = target_matrix(catalogue_name.empty() ? in.name : catalogue_name, in.params);
    if (in.dagger) out.u = dagger_matrix(out.u);
    out.targets = in.qubits;
    for (size_t i = 0; i < in.controls.size(); ++i) {
        const bool open = i < in.ctrl_state.size() && in.ctrl_state[i] == '0';
        out.controls.emplace_back(in.controls[i], open ? 0 : 1);
    }
    return out;
}

Amplitudes apply_reference(const Reference& r, const Amplitudes& psi) {
    return ref::apply(psi, r.targets, r.controls, r.u);
}

template <typename Real>
Amplitudes fill_random(StateVector<Real>& s, uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    double norm = 0.0;
    std::vector<double> re(s.dim), im(s.dim);
    for (uint64_t i = 0; i < s.dim; ++i) {
        re[i] = normal(engine);
        im[i] = normal(engine);
        norm += re[i] * re[i] + im[i] * im[i];
    }
    Amplitudes copy(s.dim);
    for (uint64_t i = 0; i < s.dim; ++i) {
        s.re[i] = static_cast<Real>(re[i] / std::sqrt(norm));
        s.im[i] = static_cast<Real>(im[i] / std::sqrt(norm));
        copy[i] = Complex(s.re[i], s.im[i]);
    }
    return copy;
}

template <typename Real>
double tolerance() {
    return std::is_same<Real, float>::value ? kFloatTolerance : kDoubleTolerance;
}

void expect_close(const Amplitudes& got, const Amplitudes& want, double tol, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    double worst = 0.0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
    EXPECT_LE(worst, tol) << what;
}

struct DispatchCase {
    std::string label;
    GateInput gate;
    std::function<Reference()> reference;
};

DispatchCase derived(const std::string& label, const GateInput& gate, const std::string& catalogue_name = "") {
    return {label, gate, [gate, catalogue_name] { return reference_of(gate, catalogue_name); }};
}

// A two-target CX/CZ: the first target is the control.
DispatchCase pair_form(const std::string& label, const GateInput& gate, const std::string& target_gate) {
    return {label, gate, [gate, target_gate] {
                return Reference{target_matrix(target_gate, {}), {gate.qubits[1]}, {{gate.qubits[0], 1}}};
            }};
}

const double kA = 0.37;
const double kB = -1.21;
const double kC = 2.05;
const double kD = 0.66;

std::vector<DispatchCase> dispatch_cases() {
    return {
        derived("ccx", {"CCX", {2}, {0, 3}}),
        derived("toffoli", {"TOFFOLI", {0}, {3, 1}}),
        derived("cx", {"CX", {1}, {3}}),
        derived("cnot_low_target", {"CNOT", {0}, {2}}),
        derived("cz", {"CZ", {2}, {1}}),
        derived("crx", {"CRX", {0}, {2}, {kA}}),
        derived("cy", {"CY", {3}, {0}}),
        derived("cu", {"CU", {1}, {3}, {kA, kB, kC, kD}}),
        derived("cx_dagger", {"CX", {2}, {1}, {}, true}),
        derived("h_under_control", {"H", {3}, {2}}),
        derived("t_under_control", {"T", {0}, {1}}),
        derived("cswap", {"CSWAP", {3, 1}, {0}}),
        derived("ccx_dagger", {"CCX", {1}, {0, 2}, {}, true}),
        derived("u3_three_controls", {"U3", {2}, {0, 1, 3}, {kA, kB, kC}}),
        derived("rxx_two_controls", {"RXX", {0, 3}, {1, 2}, {kA}}),
        derived("iswap_two_targets_one_control", {"ISWAP", {2, 0}, {3}}),
        pair_form("cx_pair", {"CX", {2, 0}}, "X"),
        pair_form("cnot_pair", {"CNOT", {1, 3}}, "X"),
        pair_form("cz_pair", {"CZ", {3, 1}}, "Z"),
        derived("swap", {"SWAP", {0, 3}}),
        derived("swap_descending", {"SWAP", {2, 1}}),
        derived("rxx", {"RXX", {3, 1}, {}, {kA}}),
        derived("ryy", {"RYY", {0, 2}, {}, {kB}}),
        derived("rzz", {"RZZ", {1, 2}, {}, {kC}}),
        derived("iswap", {"ISWAP", {0, 1}}),
        derived("swap_dagger", {"SWAP", {3, 0}, {}, {}, true}),
        derived("izz", {"IZZ", {2, 3}, {}, {kD}}),
        derived("x", {"X", {0}}),
        derived("z", {"Z", {3}}),
        derived("y", {"Y", {1}}),
        derived("h", {"H", {2}}),
        derived("s", {"S", {0}}),
        derived("sdg", {"SDG", {3}}),
        derived("t", {"T", {1}}),
        derived("tdg", {"TDG", {2}}),
        derived("tdg_mixed_case", {"Tdg", {0}}, "TDG"),
        derived("rx", {"RX", {1}, {}, {kA}}),
        derived("ry", {"RY", {3}, {}, {kB}}),
        derived("rz", {"RZ", {0}, {}, {kC}}),
        derived("p", {"P", {2}, {}, {kD}}),
        derived("r", {"R", {1}, {}, {kA, kB}}),
        derived("u2", {"U2", {0}, {}, {kA, kB}}),
        derived("u", {"U", {3}, {}, {kA, kB, kC}}),
        derived("sx", {"SX", {2}}),
        derived("sy", {"SY", {1}}),
        derived("id", {"ID", {0}}),
        derived("t_dagger", {"T", {3}, {}, {}, true}),
        derived("y_dagger", {"Y", {1}, {}, {}, true}),
        derived("u3_dagger", {"U3", {2}, {}, {kA, kB, kC}, true}),
        derived("open_x", {"X", {0}, {2}, {}, false, "0"}),
        derived("open_cx", {"CX", {1}, {3}, {}, false, "0"}),
        derived("open_ccx_mixed", {"CCX", {0}, {1, 2}, {}, false, "01"}),
        derived("open_cswap", {"CSWAP", {0, 2}, {3}, {}, false, "0"}),
        derived("open_multi_u3", {"U3", {1}, {0, 2, 3}, {kA, kB, kC}, false, "010"}),
        derived("ctrl_state_longer_than_controls", {"CRY", {1}, {0}, {kB}, false, "0110"}),
        derived("ctrl_state_non_zero_chars", {"CRZ", {2}, {0}, {kC}, false, "1"}),
        derived("ctrl_state_other_char", {"CZ", {2}, {0}, {}, false, "a"}),
    };
}

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

template <typename Real>
void check_case(const DispatchCase& c, int n, uint32_t seed) {
    StateVector<Real> state(n);
    const Amplitudes before = fill_random(state, seed);
    GateMatrixCache cache;
    apply_gate_single_batch(state, make_instruction(c.gate), cache, 0);
    expect_close(read(state), apply_reference(c.reference(), before), tolerance<Real>(), c.label);
}

TEST_P(Dispatch, MatchesScalarReferenceInBothPrecisions) {
    check_case<double>(GetParam(), kSmallQubits, 11);
    check_case<float>(GetParam(), kSmallQubits, 12);
}

INSTANTIATE_TEST_SUITE_P(GateApplication, Dispatch, ::testing::ValuesIn(dispatch_cases()),
                         [](const ::testing::TestParamInfo<DispatchCase>& info) { return info.param.label; });

// 16 qubits: kernels run on every hardware thread; pivots at both ends.
TEST(GateApplication, SixteenQubitCircuitMatchesScalarReference) {
    const std::vector<DispatchCase> cases = {
        derived("h_low", {"H", {0}}),
        derived("h_top", {"H", {15}}),
        derived("t_top", {"T", {15}}),
        derived("cx_top_control", {"CX", {0}, {15}}),
        pair_form("cz_pair", {"CZ", {15, 3}}, "Z"),
        derived("swap_ends", {"SWAP", {15, 0}}),
        derived("rxx_ends", {"RXX", {15, 1}, {}, {kA}}),
        derived("ccx", {"CCX", {15}, {7, 2}}),
        derived("cswap_open", {"CSWAP", {14, 15}, {0}, {}, false, "0"}),
        derived("u3_multi", {"U3", {8}, {1, 15, 9}, {kA, kB, kC}}),
        derived("crx_top", {"CRX", {15}, {14}, {kD}}),
        derived("u2_low", {"U2", {1}, {}, {kA, kB}}),
    };
    StateVector<double> sd(kLargeQubits);
    StateVector<float> sf(kLargeQubits);
    Amplitudes want = fill_random(sd, 21);
    fill_random(sf, 21);
    want = read(sf);
    Amplitudes want_double = read(sd);
    GateMatrixCache cache_d;
    GateMatrixCache cache_f;
    for (const DispatchCase& c : cases) {
        const CircuitInstruction ins = make_instruction(c.gate);
        apply_gate_single_batch(sd, ins, cache_d, 0);
        apply_gate_single_batch(sf, ins, cache_f, 0);
        want_double = apply_reference(c.reference(), want_double);
        want = apply_reference(c.reference(), want);
        expect_close(read(sd), want_double, kDoubleTolerance, c.label);
        expect_close(read(sf), want, 2e-5, c.label);
    }
}

TEST(GateApplication, HadamardOnQubitZeroFillsIndicesZeroAndOne) {
    StateVector<double> s(2);
    GateMatrixCache cache;
    apply_gate_single_batch(s, make_instruction({"H", {0}}), cache, 0);
    EXPECT_EQ(s.re[0], 0.7071067811865475);
    EXPECT_EQ(s.re[1], 0.7071067811865475);
    EXPECT_EQ(s.re[2], 0.0);
    EXPECT_EQ(s.re[3], 0.0);
}

// The fast T kernel uses the rounded 1/sqrt(2); the catalogue's T one unit below it.
TEST(GateApplication, FastAndCatalogueTPhasesDifferInTheLastPlace) {
    GateMatrixCache cache;
    StateVector<double> fast(1);
    apply_gate_single_batch(fast, make_instruction({"X", {0}}), cache, 0);
    apply_gate_single_batch(fast, make_instruction({"T", {0}}), cache, 0);
    EXPECT_EQ(fast.re[1], 0.7071067811865476);
    EXPECT_EQ(fast.im[1], 0.7071067811865476);
    EXPECT_TRUE(cache.empty());

    StateVector<double> controlled(2);
    apply_gate_single_batch(controlled, make_instruction({"X", {0}}), cache, 0);
    apply_gate_single_batch(controlled, make_instruction({"X", {1}}), cache, 0);
    apply_gate_single_batch(controlled, make_instruction({"T", {0}, {1}}), cache, 0);
    EXPECT_EQ(controlled.re[3], 0.7071067811865475);
    EXPECT_EQ(controlled.im[3], 0.7071067811865475);

    StateVector<double> tdg(1);
    apply_gate_single_batch(tdg, make_instruction({"X", {0}}), cache, 0);
    apply_gate_single_batch(tdg, make_instruction({"Tdg", {0}}), cache, 0);
    EXPECT_EQ(tdg.re[1], 0.7071067811865476);
    EXPECT_EQ(tdg.im[1], -0.7071067811865476);
}

TEST(GateApplication, ControlledAndPairFormsOfCxAgree) {
    StateVector<double> a(3), b(3);
    fill_random(a, 3);
    fill_random(b, 3);
    GateMatrixCache cache;
    apply_gate_single_batch(a, make_instruction({"CX", {0}, {1}}), cache, 0);
    apply_gate_single_batch(b, make_instruction({"CX", {1, 0}}), cache, 0);
    EXPECT_TRUE(same_bits(a, b));
}

TEST(GateApplication, OpenControlLeavesTheControlQubitAsItWas) {
    // |q2 q1 q0> = |000> and |100>: X on q0 under an open control on q2 flips q0 only in the first.
    for (int q2 : {0, 1}) {
        StateVector<double> s(3);
        GateMatrixCache cache;
        if (q2 == 1) apply_gate_single_batch(s, make_instruction({"X", {2}}), cache, 0);
        apply_gate_single_batch(s, make_instruction({"X", {0}, {2}, {}, false, "0"}), cache, 0);
        const uint64_t expected = q2 == 1 ? 4 : 1;
        for (uint64_t i = 0; i < s.dim; ++i) EXPECT_EQ(s.re[i], i == expected ? 1.0 : 0.0) << "q2=" << q2;
    }
}

TEST(GateApplication, SkipNamesLeaveTheStateUntouchedWhateverTheirQubits) {
    for (const char* name : {"MEASURE", "BARRIER", "RESET", "QIF", "QWHILE"}) {
        StateVector<double> s(3), copy(3);
        fill_random(s, 8);
        fill_random(copy, 8);
        GateMatrixCache cache;
        apply_gate_single_batch(s, make_instruction({name, {0, 99, -4}, {-1}, {1.0}, true, "0"}), cache, 0);
        EXPECT_TRUE(same_bits(s, copy)) << name;
        EXPECT_TRUE(cache.empty());
    }
}

// Batch slicing: the state shows the parameter set used, bit for bit as an
// instruction holding that set alone; only a set cut from a longer list stays
// out of the per-gate cache.
struct SliceCase {
    std::string label;
    std::string name;
    ParamValue value;
    int batch_index;
    std::vector<double> used;
    bool cut_per_batch;
};

class BatchSlice : public ::testing::TestWithParam<SliceCase> {};

TEST_P(BatchSlice, UsesTheExpectedParameterSet) {
    const SliceCase& c = GetParam();
    CircuitInstruction ins = make_instruction({c.name, {1}});
    ins.param.value = c.value;
    StateVector<double> s(2), alone(2), want(2);
    fill_random(s, 4);
    fill_random(alone, 4);
    const Amplitudes before = fill_random(want, 4);
    GateMatrixCache cache;
    apply_gate_single_batch(s, ins, cache, c.batch_index);
    if (c.cut_per_batch) {
        EXPECT_TRUE(cache.empty());
    } else {
        ASSERT_EQ(cache.size(), 1u);
        EXPECT_EQ(cache.begin()->first.params, c.used);
    }
    GateMatrixCache alone_cache;
    apply_gate_single_batch(alone, make_instruction({c.name, {1}, {}, c.used}), alone_cache, 0);
    EXPECT_EQ(read(s), read(alone)) << c.label;
    expect_close(read(s), apply_reference(Reference{target_matrix(c.name, c.used), {1}, {}}, before), kDoubleTolerance,
                 c.label);
    // A compiled run keeps a batch's own set in its store and shares the others through the cache.
    GateMatrixCache plan_cache;
    MatrixStore store{&plan_cache, {}};
    const KernelCall call = resolve_gate(ins, 2, store, c.batch_index);
    EXPECT_EQ(plan_cache.size(), c.cut_per_batch ? 0u : 1u);
    EXPECT_EQ(store.owned.size(), c.cut_per_batch ? 1u : 0u);
    ASSERT_NE(call.matrix, nullptr);
    EXPECT_EQ(*call.matrix, target_matrix(c.name, c.used));
}

INSTANTIATE_TEST_SUITE_P(
    GateApplication, BatchSlice,
    ::testing::Values(
        SliceCase{"second_set", "RX", std::vector<double>{0.1, 0.2, 0.3}, 1, {0.2}, true},
        SliceCase{"last_set", "RX", std::vector<double>{0.1, 0.2, 0.3}, 2, {0.3}, true},
        SliceCase{"past_end_falls_back", "RX", std::vector<double>{0.1, 0.2, 0.3}, 5, {0.1}, true},
        SliceCase{"negative_index_falls_back", "RX", std::vector<double>{0.1, 0.2, 0.3}, -1, {0.1}, true},
        SliceCase{"single_value_every_batch", "RX", 0.4, 7, {0.4}, false},
        SliceCase{"exact_length_used_whole", "U3", std::vector<double>{0.1, 0.2, 0.3}, 4, {0.1, 0.2, 0.3}, false},
        SliceCase{"short_list_used_whole", "U3", std::vector<double>{0.5}, 2, {0.5}, false},
        SliceCase{"empty_list", "RY", std::vector<double>{}, 0, {}, false},
        SliceCase{"partial_last_set_falls_back", "U3", std::vector<double>{1, 2, 3, 4, 5}, 1, {1, 2, 3}, true},
        SliceCase{"second_u3_set", "U3", std::vector<double>{1, 2, 3, 4, 5, 6}, 1, {4, 5, 6}, true},
        SliceCase{"huge_index_falls_back", "R", std::vector<double>{1, 2, 3, 4}, 2147483647, {1, 2}, true},
        SliceCase{"no_parameters_list_kept", "SX", std::vector<double>{9, 8}, 1, {9, 8}, false}),
    [](const ::testing::TestParamInfo<SliceCase>& info) { return info.param.label; });

TEST(GateCache, RepeatedGateComputesItsMatrixOnce) {
    StateVector<double> s(3);
    GateMatrixCache cache;
    const CircuitInstruction rx = make_instruction({"RX", {0}, {}, {0.3}});
    apply_gate_single_batch(s, rx, cache, 0);
    apply_gate_single_batch(s, rx, cache, 0);
    apply_gate_single_batch(s, make_instruction({"RX", {2}, {}, {0.3}}), cache, 0);  // targets are not in the key
    EXPECT_EQ(cache.size(), 1u);
    // A cached entry is used as it is: replace it and the next application follows it.
    cache.begin()->second = target_matrix("X", {});
    StateVector<double> fresh(1);
    apply_gate_single_batch(fresh, rx, cache, 0);
    EXPECT_EQ(fresh.re[0], 0.0);
    EXPECT_EQ(fresh.re[1], 1.0);
}

TEST(GateCache, FastPathsNeverTouchTheCache) {
    StateVector<double> s(3);
    GateMatrixCache cache;
    for (const GateInput& g : std::vector<GateInput>{{"X", {0}},
                                                     {"H", {1}},
                                                     {"Tdg", {2}},
                                                     {"CX", {0}, {1}},
                                                     {"CZ", {2, 0}},
                                                     {"SWAP", {1, 2}},
                                                     {"CCX", {2}, {0, 1}}}) {
        apply_gate_single_batch(s, make_instruction(g), cache, 0);
    }
    EXPECT_TRUE(cache.empty());
}

TEST(GateCache, EachKeyFieldMakesADistinctEntry) {
    StateVector<double> s(4);
    GateMatrixCache cache;
    const std::vector<GateInput> gates = {
        {"CRX", {0}, {1}, {0.3}}, {"CRY", {0}, {1}, {0.3}},       {"CRX", {0}, {1}, {0.4}},
        {"CRX", {0}, {2}, {0.3}}, {"CRX", {0}, {1}, {0.3}, true}, {"CRX", {0}, {1}, {0.3}, false, "0"},
    };
    size_t expected = 0;
    for (const GateInput& g : gates) {
        apply_gate_single_batch(s, make_instruction(g), cache, 0);
        EXPECT_EQ(cache.size(), ++expected) << g.name;
    }
    const GateCacheKey base{"CRX", {0.3}, {1}, false, ""};
    EXPECT_TRUE(base == (GateCacheKey{"CRX", {0.3}, {1}, false, ""}));
    EXPECT_FALSE(base == (GateCacheKey{"CRY", {0.3}, {1}, false, ""}));
    EXPECT_FALSE(base == (GateCacheKey{"CRX", {0.3, 0.0}, {1}, false, ""}));
    EXPECT_FALSE(base == (GateCacheKey{"CRX", {0.3}, {1, 2}, false, ""}));
    EXPECT_FALSE(base == (GateCacheKey{"CRX", {0.3}, {1}, true, ""}));
    EXPECT_FALSE(base == (GateCacheKey{"CRX", {0.3}, {1}, false, "1"}));
}

TEST(GateCache, NanParameterFindsItsEntryAgain) {
    StateVector<double> s(1);
    GateMatrixCache cache;
    const CircuitInstruction rx = make_instruction({"RX", {0}, {}, {std::nan("")}});
    apply_gate_single_batch(s, rx, cache, 0);
    apply_gate_single_batch(s, rx, cache, 0);
    EXPECT_EQ(cache.size(), 1u);
}

// Equal keys hash alike; a change of any one field, or of the order of the
// parameters or of the controls, changes the hash (colliding keys would make
// every lookup among them compare whole keys).
TEST(GateCache, HashTellsApartKeysThatDifferInOneField) {
    const GateCacheKey key{"CU", {0.1, -2.5}, {3, 1}, true, "01"};
    const GateCacheKeyHash hash;
    EXPECT_EQ(hash(key), hash(GateCacheKey{"CU", {0.1, -2.5}, {3, 1}, true, "01"}));
    const std::vector<GateCacheKey> variants = {
        key,
        {"CRX", {0.1, -2.5}, {3, 1}, true, "01"},
        {"CU", {0.1, -2.4}, {3, 1}, true, "01"},
        {"CU", {-2.5, 0.1}, {3, 1}, true, "01"},
        {"CU", {0.1}, {3, 1}, true, "01"},
        {"CU", {0.1, -2.5, 0.0}, {3, 1}, true, "01"},
        {"CU", {0.1, -2.5}, {1, 3}, true, "01"},
        {"CU", {0.1, -2.5}, {3}, true, "01"},
        {"CU", {0.1, -2.5}, {3, 1, 0}, true, "01"},
        {"CU", {0.1, -2.5}, {3, 1}, false, "01"},
        {"CU", {0.1, -2.5}, {3, 1}, true, "10"},
        {"CU", {0.1, -2.5}, {3, 1}, true, ""},
        {"CU", {}, {}, false, ""},
        {"", {}, {}, false, ""},
    };
    std::set<size_t> hashes;
    for (const GateCacheKey& k : variants) hashes.insert(hash(k));
    EXPECT_EQ(hashes.size(), variants.size());
}

// Every refusal: the message, and a state (and open-control qubits) left untouched.
struct Refusal {
    std::string label;
    GateInput gate;
    std::string message;
};

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithItsMessageAndTheStateUntouched) {
    const Refusal& c = GetParam();
    StateVector<double> s(kSmallQubits), copy(kSmallQubits);
    fill_random(s, 9);
    fill_random(copy, 9);
    GateMatrixCache cache;
    const CircuitInstruction ins = make_instruction(c.gate);
    try {
        apply_gate_single_batch(s, ins, cache, 0);
        FAIL() << c.label << ": no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_TRUE(same_bits(s, copy)) << c.label;
    const std::vector<CircuitInstruction> run = {make_instruction({"H", {0}}), ins};
    try {
        (void)compile_run(run, 0, run.size(), kSmallQubits, &cache, 0);
        FAIL() << c.label << ": compiled";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), c.message);
    }
}

const std::string kPrefix = "apply_gate_single_batch: ";

INSTANTIATE_TEST_SUITE_P(
    GateApplication, Refused,
    ::testing::Values(
        Refusal{"target_too_high", {"H", {4}}, kPrefix + "gate H addresses qubit 4, outside a state of 4 qubits"},
        Refusal{"target_negative",
                {"RX", {-1}, {}, {0.2}},
                kPrefix + "gate RX addresses qubit -1, outside a state of 4 qubits"},
        Refusal{"second_target_too_high",
                {"SWAP", {0, 40}},
                kPrefix + "gate SWAP addresses qubit 40, outside a state of 4 qubits"},
        Refusal{"open_control_too_high",
                {"X", {0}, {9}, {}, false, "0"},
                kPrefix + "gate X addresses qubit 9, outside a state of 4 qubits"},
        Refusal{
            "control_negative", {"CX", {1}, {-3}}, kPrefix + "gate CX addresses qubit -3, outside a state of 4 qubits"},
        Refusal{"equal_targets_matrix",
                {"RXX", {1, 1}, {}, {0.2}},
                kPrefix + "gate RXX names qubit 1 twice among its targets"},
        Refusal{"equal_targets_cx_pair", {"CX", {2, 2}}, kPrefix + "gate CX names qubit 2 twice among its targets"},
        Refusal{"equal_targets_cz_pair", {"CZ", {3, 3}}, kPrefix + "gate CZ names qubit 3 twice among its targets"},
        Refusal{"equal_targets_swap_dagger",
                {"SWAP", {0, 0}, {}, {}, true},
                kPrefix + "gate SWAP names qubit 0 twice among its targets"},
        Refusal{"equal_targets_cswap",
                {"CSWAP", {2, 2}, {0}},
                kPrefix + "gate CSWAP names qubit 2 twice among its targets"},
        Refusal{"control_is_target", {"CX", {1}, {1}}, kPrefix + "gate CX uses qubit 1 as both control and target"},
        Refusal{"control_is_target_matrix",
                {"CRX", {2}, {2}, {0.3}},
                kPrefix + "gate CRX uses qubit 2 as both control and target"},
        Refusal{"control_is_target_ccx",
                {"CCX", {2}, {0, 2}},
                kPrefix + "gate CCX uses qubit 2 as both control and target"},
        Refusal{"repeated_control",
                {"CCX", {0}, {1, 1}, {}, false, "01"},
                kPrefix + "gate CCX names qubit 1 twice among its controls"},
        Refusal{"swap_one_target_one_control",
                {"SWAP", {1}, {0}},
                kPrefix + "unsupported configuration for gate SWAP (targets=1, ctrls=1, matrix_size=16)"},
        Refusal{"cx_dagger_two_targets",
                {"CX", {0, 1}, {}, {}, true},
                kPrefix + "unsupported configuration for gate CX (targets=2, ctrls=0, matrix_size=4)"},
        Refusal{"h_two_targets",
                {"H", {0, 1}},
                kPrefix + "unsupported configuration for gate H (targets=2, ctrls=0, matrix_size=4)"},
        Refusal{"rxx_one_target",
                {"RXX", {2}, {}, {0.1}},
                kPrefix + "unsupported configuration for gate RXX (targets=1, ctrls=0, matrix_size=16)"},
        Refusal{"three_targets",
                {"CRX", {0, 1, 2}, {}, {0.1}},
                kPrefix + "unsupported configuration for gate CRX (targets=3, ctrls=0, matrix_size=4)"},
        Refusal{"two_controls_two_targets",
                {"CRX", {0, 1}, {2, 3}, {0.1}},
                kPrefix + "unsupported configuration for gate CRX (targets=2, ctrls=2, matrix_size=4)"},
        Refusal{"no_targets",
                {"H", {}},
                kPrefix + "unsupported configuration for gate H (targets=0, ctrls=0, matrix_size=4)"},
        Refusal{"no_targets_open_control",
                {"X", {}, {1}, {}, false, "0"},
                kPrefix + "unsupported configuration for gate X (targets=0, ctrls=1, matrix_size=4)"},
        Refusal{"four_targets",
                {"SWAP", {0, 1, 2, 3}},
                kPrefix + "unsupported configuration for gate SWAP (targets=4, ctrls=0, matrix_size=16)"},
        Refusal{"unknown_gate", {"FOO", {0}}, "Unknown gate: FOO"},
        Refusal{"lower_case", {"rx", {0}, {}, {0.1}}, "Unknown gate: rx"},
        Refusal{"mixed_case_sdg", {"Sdg", {0}}, "Unknown gate: Sdg"},
        Refusal{"mixed_case_tdg_with_dagger", {"Tdg", {0}, {}, {}, true}, "Unknown gate: Tdg"},
        Refusal{"isingzz_producer_spelling", {"IsingZZ", {1}, {0}, {0.1}}, "Unknown gate: IsingZZ"},
        Refusal{"unknown_under_open_control", {"su4", {1}, {0}, {}, false, "0"}, "Unknown gate: su4"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.label; });

// The parametrised gates and the catalogue matrices under controls take a
// structured kernel where their zeros allow one; a run holding a non-finite
// matrix keeps every gate on the dense kernel, so NaN spreads as it does when
// the gates are applied one by one.
TEST(KernelForms, StructuredWhereTheMatrixAllowsAndDenseAfterANonFiniteOne) {
    const std::vector<GateInput> gates = {
        {"RX", {0}, {}, {kA}},
        {"RY", {1}, {}, {kB}},
        {"RZ", {2}, {}, {kC}},
        {"P", {0}, {}, {kD}},
        {"CRX", {1}, {0}, {kA}},
        {"CRY", {2}, {3}, {kB}},
        {"CRZ", {0}, {1}, {kC}, true},
        {"CU1", {3}, {2}, {kD}},
        {"RXX", {0, 1}, {}, {kA}},
        {"RYY", {2, 3}, {}, {kB}},
        {"RZZ", {1, 3}, {}, {kC}},
        {"ISWAP", {0, 2}},
        {"H", {3}, {1}},
        {"Y", {0}, {2}, {}, false, "0"},
        {"CX", {1}, {0}, {}, true},
    };
    std::vector<CircuitInstruction> run;
    for (const GateInput& g : gates) run.push_back(make_instruction(g));
    GateMatrixCache cache;
    const RunPlan plan = compile_run(run, 0, run.size(), kSmallQubits, &cache, 0);
    for (size_t i = 0; i < run.size(); ++i) EXPECT_NE(plan.steps[i].call.form, kDenseForm) << run[i].name;
    EXPECT_EQ(compile_run({make_instruction({"U3", {0}, {}, {kA, kB, kC}})}, 0, 1, 2, nullptr, 0).steps[0].call.form,
              kDenseForm);
    run.push_back(make_instruction({"RY", {0}, {}, {std::nan("")}}));
    const RunPlan with_nan = compile_run(run, 0, run.size(), kSmallQubits, &cache, 0);
    for (const PlanStep& step : with_nan.steps) EXPECT_EQ(step.call.form, kDenseForm);
}

TEST(GateApplication, EqualQubitSwapIsANoOp) {
    StateVector<double> s(3), copy(3);
    fill_random(s, 2);
    fill_random(copy, 2);
    GateMatrixCache cache;
    apply_gate_single_batch(s, make_instruction({"SWAP", {1, 1}}), cache, 0);
    EXPECT_TRUE(same_bits(s, copy));
}

TEST(GateApplication, UnknownGateCachesNothingEvenWithAMatrixField) {
    StateVector<double> s(2);
    CircuitInstruction ins = make_instruction({"su4", {1}, {0}});
    ins.matrix.assign(16, 1.0);
    GateMatrixCache cache;
    EXPECT_THROW(apply_gate_single_batch(s, ins, cache, 0), std::runtime_error);
    EXPECT_TRUE(cache.empty());
}

// A conversion that throws while the variant is being re-made leaves it
// valueless, where the standard library allows that state for this variant.
struct ThrowingList {
    operator std::vector<double>() const { throw std::runtime_error("conversion"); }
};

TEST(GateApplication, ValuelessParameterFailsWithBadVariantAccess) {
    CircuitInstruction ins = make_instruction({"H", {0}});
    EXPECT_THROW(ins.param.value.emplace<1>(ThrowingList{}), std::runtime_error);
    if (!ins.param.value.valueless_by_exception())
        GTEST_SKIP() << "this standard library never leaves ParamValue valueless";
    StateVector<double> s(1);
    GateMatrixCache cache;
    EXPECT_THROW(apply_gate_single_batch(s, ins, cache, 0), std::bad_variant_access);
    ins.name = "RX";
    EXPECT_THROW(apply_gate_single_batch(s, ins, cache, 0), std::bad_variant_access);
    EXPECT_EQ(s.re[0], 1.0);
}

TEST(GateApplication, ZeroQubitStateRefusesEveryQubit) {
    StateVector<double> s(0);
    GateMatrixCache cache;
    EXPECT_THROW(apply_gate_single_batch(s, make_instruction({"X", {0}}), cache, 0), std::runtime_error);
    apply_gate_single_batch(s, make_instruction({"BARRIER", {0}}), cache, 0);
    EXPECT_EQ(s.re[0], 1.0);
}

}  // namespace
}  // namespace wavesim
