// The gate vocabulary: one table of every name and its facts, and the lookups the stages make in it.
#include "wavesim/gates/gate_catalogue.h"

#include <array>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "wavesim/gates/channel_catalogue.h"
#include "wavesim/gates/gate_derivatives.h"
#include "wavesim/gates/gate_matrices.h"
#include "wavesim/gates/matrix_form.h"

namespace wavesim {
namespace {

const GateEntry& known_gate(const std::string& name) {
    const GateEntry* gate = find_gate(name);
    if (gate == nullptr) throw std::runtime_error("Unknown gate: " + name);
    return *gate;
}

}  // namespace

const std::vector<GateEntry>& gate_catalogue() {
    using namespace gate_matrices;
    using namespace gate_derivatives;
    using K = KernelGate;
    constexpr unsigned kDense = kDenseForm;
    // name, parameters, controls, targets, matrix, derivatives, inverse, kernel, form
    static const std::vector<GateEntry> kTable = {
        {"I", 0, 0, 1, identity_gate, nullptr, "I", K::kMatrix, kRealDiagonalForm},
        {"ID", 0, 0, 1, identity_gate, nullptr, "ID", K::kMatrix, kRealDiagonalForm},
        {"H", 0, 0, 1, h_gate, nullptr, "H", K::kH, kRealForm},
        {"X", 0, 0, 1, x_gate, nullptr, "X", K::kX, kRealAntiForm},
        {"Y", 0, 0, 1, y_gate, nullptr, "Y", K::kY, kImagAntiForm},
        {"Z", 0, 0, 1, z_gate, nullptr, "Z", K::kZ, kRealDiagonalForm},
        {"S", 0, 0, 1, s_gate, nullptr, "SDG", K::kS, kDiagonalForm},
        {"SDG", 0, 0, 1, sdg_gate, nullptr, "S", K::kSdg, kDiagonalForm},
        {"T", 0, 0, 1, t_gate, nullptr, "TDG", K::kT, kDiagonalForm},
        {"TDG", 0, 0, 1, tdg_gate, nullptr, "T", K::kTdg, kDiagonalForm},
        {"SX", 0, 0, 1, sx_gate, nullptr, nullptr, K::kMatrix, with_shared_sums(kDense, kRowRepeatsReal)},
        {"SY", 0, 0, 1, sy_gate, nullptr, nullptr, K::kMatrix, with_shared_sums(kDense, kImagRepeatsReal)},
        {"SWAP", 0, 0, 2, swap_gate, nullptr, "SWAP", K::kSwap, kRealForm},
        {"ISWAP", 0, 0, 2, iswap_gate, nullptr, nullptr, K::kMatrix, kRotationForm},
        {"CX", 0, 1, 1, x_gate, nullptr, "CX", K::kX, kRealAntiForm},
        {"CNOT", 0, 1, 1, x_gate, nullptr, "CNOT", K::kX, kRealAntiForm},
        {"CY", 0, 1, 1, y_gate, nullptr, "CY", K::kMatrix, kImagAntiForm},
        {"CZ", 0, 1, 1, z_gate, nullptr, "CZ", K::kZ, kRealDiagonalForm},
        {"CH", 0, 1, 1, h_gate, nullptr, "CH", K::kMatrix, kRealForm},
        {"CCX", 0, 2, 1, x_gate, nullptr, "CCX", K::kX, kRealAntiForm},
        {"TOFFOLI", 0, 2, 1, x_gate, nullptr, "TOFFOLI", K::kX, kRealAntiForm},
        {"CSWAP", 0, 1, 2, swap_gate, nullptr, "CSWAP", K::kMatrix, kRealForm},
        {"RX", 1, 0, 1, rx_gate, d_rx, nullptr, K::kMatrix, kRotationForm},
        {"RY", 1, 0, 1, ry_gate, d_ry, nullptr, K::kMatrix, kRealForm},
        {"RZ", 1, 0, 1, rz_gate, d_rz, nullptr, K::kMatrix, kDiagonalForm},
        {"P", 1, 0, 1, p_gate, d_p, nullptr, K::kMatrix, kDiagonalForm},
        {"U1", 1, 0, 1, p_gate, d_p, nullptr, K::kMatrix, kDiagonalForm},
        {"R", 2, 0, 1, r_gate, d_r, nullptr, K::kMatrix, kDense},
        {"U2", 2, 0, 1, u2_gate, d_u2, nullptr, K::kMatrix, kDense},
        {"U3", 3, 0, 1, u3_gate, d_u3, nullptr, K::kMatrix, kDense},
        {"U", 3, 0, 1, u3_gate, d_u3, nullptr, K::kMatrix, kDense},
        {"RXX", 1, 0, 2, rxx_gate, d_rxx, nullptr, K::kMatrix, kRotationForm},
        {"RYY", 1, 0, 2, ryy_gate, d_ryy, nullptr, K::kMatrix, kRotationForm},
        {"RZZ", 1, 0, 2, rzz_gate, d_rzz, nullptr, K::kMatrix, kDiagonalForm},
        {"ISINGZZ", 1, 0, 2, rzz_gate, d_rzz, nullptr, K::kMatrix, kDiagonalForm},
        {"IZZ", 1, 0, 2, rzz_gate, d_rzz, nullptr, K::kMatrix, kDiagonalForm},
        {"CRX", 1, 1, 1, rx_gate, d_rx, nullptr, K::kMatrix, kRotationForm},
        {"CRY", 1, 1, 1, ry_gate, d_ry, nullptr, K::kMatrix, kRealForm},
        {"CRZ", 1, 1, 1, rz_gate, d_rz, nullptr, K::kMatrix, kDiagonalForm},
        {"CP", 1, 1, 1, p_gate, d_p, nullptr, K::kMatrix, kDiagonalForm},
        {"CU1", 1, 1, 1, p_gate, d_p, nullptr, K::kMatrix, kDiagonalForm},
        {"CU2", 2, 1, 1, u2_gate, d_u2, nullptr, K::kMatrix, kDense},
        {"CU3", 3, 1, 1, u3_gate, d_u3, nullptr, K::kMatrix, kDense},
        {"CU", 4, 1, 1, cu_target, d_cu, nullptr, K::kMatrix, kDense},
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

KernelGate dedicated_kernel(const GateEntry* gate, std::string_view name) {
    if (gate != nullptr) return gate->kernel;
    return name == "Tdg" ? KernelGate::kTdg : KernelGate::kMatrix;
}

namespace {

constexpr size_t kKernelGates = size_t(KernelGate::kDiagonal) + 1;

// The first row that takes each fixed kernel.
const std::array<const GateEntry*, kKernelGates>& kernel_rows() {
    static const std::array<const GateEntry*, kKernelGates> kRows = [] {
        std::array<const GateEntry*, kKernelGates> rows{};
        for (const GateEntry& gate : gate_catalogue())
            if (gate.kernel != KernelGate::kMatrix && rows[size_t(gate.kernel)] == nullptr)
                rows[size_t(gate.kernel)] = &gate;
        return rows;
    }();
    return kRows;
}

}  // namespace

KernelGate inverse_kernel(KernelGate kernel) {
    const GateEntry* row = kernel_rows()[size_t(kernel)];
    if (row == nullptr) return kernel;
    return find_gate(row->inverse)->kernel;
}

const Matrix& fixed_kernel_matrix(KernelGate kernel) {
    static const std::array<Matrix, kKernelGates> kMatrices = [] {
        std::array<Matrix, kKernelGates> m;
        for (size_t k = 0; k < kKernelGates; ++k)
            if (kernel_rows()[k] != nullptr) m[k] = kernel_rows()[k]->target({});
        return m;
    }();
    return kMatrices[size_t(kernel)];
}

Matrix gate_matrix(const std::string& name, const std::vector<double>& params) {
    const GateEntry& gate = known_gate(name);
    const Matrix target = gate.target(params);
    return gate.num_controls == 0 ? target : controlled(target, gate.num_controls);
}

Matrix target_matrix(const std::string& name, const std::vector<double>& params) {
    return known_gate(name).target(params);
}

std::vector<Matrix> target_matrix_derivatives(std::string_view name, const std::vector<double>& params) {
    const GateEntry* gate = find_gate(name);
    if (gate == nullptr || gate->derivatives == nullptr) return {};
    return gate->derivatives(params);
}

int gate_param_count(const std::string& name) {
    if (const GateEntry* gate = find_gate(name)) return gate->num_params;
    const ChannelEntry* channel = find_channel(name);
    return channel == nullptr ? 0 : channel->num_params;
}

OperationKind operation_kind(std::string_view name) {
    if (name == "MEASURE") return OperationKind::kMeasure;
    if (name == "RESET") return OperationKind::kReset;
    if (name == "BARRIER" || name == "QIF" || name == "QWHILE") return OperationKind::kNoEffect;
    return OperationKind::kGate;
}

}  // namespace wavesim
