// Noise channels in a circuit: the refusals every entry that takes noise
// raises before anything runs, and a channel's action for one parameter set
// as branches (its Kraus operators and what is known of each without a
// state), which the trajectories and the density matrix read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/base/matrix.h"
#include "wavesim/gates/channel_catalogue.h"

namespace wavesim {

// How far sum K^dagger K of a KRAUS instruction may be from the identity
// (largest entry of the difference), and how far a Pauli mixture's
// probabilities may sum above 1 (rounding of probabilities that add up to 1).
constexpr double kCompletenessTolerance = 1e-9;
constexpr double kProbabilitySlack = 1e-12;

// A number as the refusals show it (printf's %g: six significant digits; a NaN
// is "nan" whatever its sign bit, as Python shows it).
std::string shown_number(double x);

// Index of the first channel instruction, or instructions.size() when there is none.
size_t first_channel(const std::vector<CircuitInstruction>& instructions);

// Refuses (std::invalid_argument "<entry>: instruction N (NAME) is a noise
// channel: <reason>") a circuit that holds a channel, in an entry that
// simulates noiseless circuits only.
void refuse_channels(const std::vector<CircuitInstruction>& instructions, const std::string& entry,
                     const std::string& reason);

// Refuses (std::invalid_argument "instruction N (NAME)...") every channel
// that cannot be applied in any of max(batches, 1) parameter sets: controls
// or dagger, the wrong number of qubits, a qubit outside the state (not
// checked when num_qubits is outside what a state can have: the state
// refuses it) or named twice, fewer values than a set takes, a value that is
// not finite or outside [0, 1], a mixture whose probabilities sum above 1,
// and a KRAUS matrix that is not whole blocks, not finite or not complete.
void check_channels(const std::vector<CircuitInstruction>& instructions, int num_qubits, int batches);

// One Kraus operator K of an action.
struct ChannelBranch {
    Matrix kraus;        // row-major on the action's qubits
    double lower = 0.0;  // ||K psi||^2 >= lower ||psi||^2 for every psi (from K^dagger K)
    int pauli = -1;      // a mixture's branch: K = sqrt(lower) P for Pauli product `pauli`; else -1
};

// A channel, MEASURE (branch k: outcome k) or RESET on its qubits, without
// the branches whose operator is zero.
struct ChannelAction {
    int width = 1;
    int qubits[2] = {0, 0};
    std::vector<ChannelBranch> branches;
};

// The action of a checked channel instruction in parameter set `batch_index`.
ChannelAction channel_action(const CircuitInstruction& instruction, int batch_index);
// The non-selective measurement of a qubit (projectors), and its reset to |0>.
ChannelAction measure_action(int qubit);
ChannelAction reset_action(int qubit);

// K^dagger K of an operator on `width` qubits: ||K psi||^2 = <psi| K^dagger K |psi>.
Matrix weight_of(const Matrix& kraus, int width);

// Whether the action leaves every state as it is (a channel of strength 0).
bool is_identity(const ChannelAction& action);

// sum_k K_k (x) conj(K_k) on 2w local bits: the low w bits index a column of
// rho, the high w bits its row (row index r 2^w + c), so that it maps the
// entries of rho on the action's qubits to those of sum_k K_k rho K_k^dagger.
Matrix superoperator(const ChannelAction& action);

}  // namespace wavesim
