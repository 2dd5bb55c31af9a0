// The Python side of expval_cpp, expval_grad_cpp and param_columns: observables checked and copied, the interpreter let
// go while computing.
#include "wavesim/python/expval_py.h"

#include <pybind11/numpy.h>

#include <complex>
#include <string>
#include <vector>

#include "common/circuit_records.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/expval/adjoint_gradient.h"
#include "wavesim/expval/expval.h"
#include "wavesim/expval/observable.h"
#include "wavesim/noise/channels.h"
#include "wavesim/noise/density_matrix.h"
#include "wavesim/noise/trajectory_expval.h"
#include "wavesim/plan/fusion.h"
#include "wavesim/python/fusion_py.h"
#include "wavesim/python/tensor_shape_py.h"
#include "wavesim/state/state_vector.h"

namespace wavesim {
namespace {

namespace py = pybind11;

constexpr py::ssize_t kTermItems = 3;  // (paulis, qubits, coefficient)

[[noreturn]] void refuse(const std::string& where, size_t term, const std::string& reason) {
    throw py::value_error(where + "term " + std::to_string(term) + ": " + reason);
}

std::string type_name(py::handle object) { return py::str(py::type::handle_of(object).attr("__name__")); }

bool is_text(py::handle object) { return py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object); }

// A sequence that is not text, as a list; refused otherwise.
py::list as_list(py::handle object, const std::string& refusal) {
    if (!PySequence_Check(object.ptr()) || is_text(object)) throw py::value_error(refusal);
    return py::list(py::reinterpret_borrow<py::object>(object));
}

int64_t qubit_from(py::handle item, const std::string& where, size_t term, int num_qubits) {
    PyObject* index = PyNumber_Index(item.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        refuse(where, term, "a qubit must be an integer, not " + type_name(item));
    }
    const py::object number = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    const long long q = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (overflow != 0)
        refuse(where, term,
               "qubit " + std::string(py::str(number)) + " is outside a circuit of " + std::to_string(num_qubits) +
                   " qubits");
    return q;
}

// Real or complex numbers (Python's, NumPy's, anything with __complex__, __float__ or __index__).
std::complex<double> coefficient_from(py::handle item, const std::string& where, size_t term) {
    if (!is_text(item)) {
        const Py_complex c = PyComplex_AsCComplex(item.ptr());
        if (!(c.real == -1.0 && PyErr_Occurred())) return {c.real, c.imag};
        PyErr_Clear();
    }
    refuse(where, term, "the coefficient must be a real number, not " + type_name(item));
}

TermInput term_from(py::handle item, const std::string& where, size_t term, int num_qubits) {
    const std::string shape = "a term must be a sequence of three items (paulis, qubits, coefficient)";
    if (!PySequence_Check(item.ptr()) || is_text(item) || PySequence_Size(item.ptr()) != kTermItems) {
        PyErr_Clear();
        refuse(where, term, shape + ", not " + (is_text(item) ? "a string" : type_name(item)));
    }
    const py::list items(py::reinterpret_borrow<py::object>(item));
    TermInput out;
    if (!py::isinstance<py::str>(items[0]))
        refuse(where, term, "the Pauli string must be a str, not " + type_name(items[0]));
    out.paulis = items[0].cast<std::string>();
    const py::list qubits =
        as_list(items[1], where + "term " + std::to_string(term) + ": the qubits must be a sequence of integers, not " +
                              type_name(items[1]));
    for (py::handle q : qubits) out.qubits.push_back(qubit_from(q, where, term, num_qubits));
    const std::complex<double> c = coefficient_from(items[2], where, term);
    out.coefficient_real = c.real();
    out.coefficient_imag = c.imag();
    return out;
}

std::vector<PauliTerm> observable_from(py::handle object, const std::string& where, int num_qubits) {
    const py::list terms =
        as_list(object, where + "an observable must be a sequence of terms, not " + type_name(object));
    std::vector<TermInput> input;
    for (size_t t = 0; t < terms.size(); ++t) input.push_back(term_from(terms[t], where, t, num_qubits));
    return check_observable(input, num_qubits, where);
}

// What a call copies out of Python before it lets go of the interpreter: the
// circuit (another thread may change the CircuitData meanwhile), its set
// count and the fusion setting.
struct CircuitCopy {
    int num_qubits;
    std::vector<CircuitInstruction> instructions;
    int batches;
    int fusion;
};

CircuitCopy copy_circuit(const CircuitData& circuit, int fusion) {
    return {circuit.num_qubits, circuit.instructions, batch_count(circuit, read_bound_shape), fusion};
}

py::array_t<double> to_array(const std::vector<double>& values, std::vector<py::ssize_t> shape) {
    py::array_t<double> out(shape);
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

template <typename Real>
std::vector<double> expectation_rows_unlocked(const CircuitCopy& copy, const GroupedObservables& observables) {
    const py::gil_scoped_release unlocked;
    return expectation_rows<Real>(copy.num_qubits, copy.instructions, copy.batches, observables, copy.fusion);
}

template <typename Real>
std::vector<double> density_rows_unlocked(const CircuitCopy& copy, const std::vector<std::vector<PauliTerm>>& terms) {
    const py::gil_scoped_release unlocked;
    return density_expectation_rows<Real>(copy.num_qubits, copy.instructions, copy.batches, terms, copy.fusion);
}

template <typename Real>
GradientRows gradient_rows_unlocked(const CircuitCopy& copy, const GroupedObservables& observable) {
    const py::gil_scoped_release unlocked;
    return gradient_rows<Real>(copy.num_qubits, copy.instructions, copy.batches, observable, copy.fusion);
}

// The observables checked as expval_cpp checks them.
std::vector<std::vector<PauliTerm>> observables_from(py::handle observables, int num_qubits) {
    const py::list all =
        as_list(observables, "observables must be a sequence of observables, not " + type_name(observables));
    std::vector<std::vector<PauliTerm>> checked;
    for (size_t k = 0; k < all.size(); ++k)
        checked.push_back(observable_from(all[k], "observable " + std::to_string(k) + ", ", num_qubits));
    return checked;
}

// The fusion setting is checked before anything else: a bad value is a ValueError whatever the circuit.
py::array_t<double> expval_cpp(const CircuitData& circuit_data, py::handle observables, bool use_float32,
                               py::handle fusion_value) {
    const int fusion = fusion_setting(fusion_value);
    check_state_qubits(circuit_data.num_qubits);
    const std::vector<std::vector<PauliTerm>> checked = observables_from(observables, circuit_data.num_qubits);
    const GroupedObservables grouped = group_observables(checked);
    const CircuitCopy copy = copy_circuit(circuit_data, fusion);
    // A circuit with noise channels: exact Tr(rho O) through its density matrix.
    const bool noisy = first_channel(copy.instructions) < copy.instructions.size();
    if (noisy) check_channels(copy.instructions, copy.num_qubits, copy.batches);
    const std::vector<double> rows = noisy ? (use_float32 ? density_rows_unlocked<float>(copy, checked)
                                                          : density_rows_unlocked<double>(copy, checked))
                                           : (use_float32 ? expectation_rows_unlocked<float>(copy, grouped)
                                                          : expectation_rows_unlocked<double>(copy, grouped));
    const auto count = py::ssize_t(checked.size());
    if (copy.batches <= 1) return to_array(rows, {count});
    return to_array(rows, {py::ssize_t(copy.batches), count});
}

template <typename Real>
TrajectoryRows trajectory_rows_unlocked(const CircuitCopy& copy, const std::vector<std::vector<PauliTerm>>& terms,
                                        int trajectories, int seed) {
    const py::gil_scoped_release unlocked;
    return trajectory_expectation_rows<Real>(copy.num_qubits, copy.instructions, copy.batches, terms, trajectories,
                                             seed, copy.fusion);
}

py::tuple expval_trajectories_cpp(const CircuitData& circuit_data, py::handle observables, int trajectories, int seed,
                                  bool use_float32, py::handle fusion_value) {
    const int fusion = fusion_setting(fusion_value);
    check_state_qubits(circuit_data.num_qubits);
    const std::vector<std::vector<PauliTerm>> checked = observables_from(observables, circuit_data.num_qubits);
    if (trajectories < 1) throw py::value_error("trajectories must be at least 1, not " + std::to_string(trajectories));
    const CircuitCopy copy = copy_circuit(circuit_data, fusion);
    check_channels(copy.instructions, copy.num_qubits, copy.batches);
    const TrajectoryRows rows = use_float32 ? trajectory_rows_unlocked<float>(copy, checked, trajectories, seed)
                                            : trajectory_rows_unlocked<double>(copy, checked, trajectories, seed);
    const auto count = py::ssize_t(checked.size());
    std::vector<py::ssize_t> shape = {count};
    if (copy.batches > 1) shape.insert(shape.begin(), py::ssize_t(copy.batches));
    return py::make_tuple(to_array(rows.mean, shape), to_array(rows.error, shape));
}

py::tuple expval_grad_cpp(const CircuitData& circuit_data, py::handle observable, bool use_float32,
                          py::handle fusion_value) {
    const int fusion = fusion_setting(fusion_value);
    check_state_qubits(circuit_data.num_qubits);
    const GroupedObservables grouped = group_observables({observable_from(observable, "", circuit_data.num_qubits)});
    refuse_channels(circuit_data.instructions, "expval_grad_cpp", "gradients are computed for noiseless circuits only");
    differentiable_circuit(circuit_data.num_qubits, circuit_data.instructions);
    const CircuitCopy copy = copy_circuit(circuit_data, fusion);
    const GradientRows rows =
        use_float32 ? gradient_rows_unlocked<float>(copy, grouped) : gradient_rows_unlocked<double>(copy, grouped);
    const auto columns = py::ssize_t(rows.columns);
    if (copy.batches <= 1) return py::make_tuple(to_array(rows.values, {}), to_array(rows.grads, {columns}));
    const auto sets = py::ssize_t(copy.batches);
    return py::make_tuple(to_array(rows.values, {sets}), to_array(rows.grads, {sets, columns}));
}

py::list param_columns_py(const CircuitData& circuit_data) {
    py::list out;
    for (const ParamColumn& c : param_columns(circuit_data.instructions))
        out.append(py::make_tuple(c.instruction, c.name, c.slot));
    return out;
}

}  // namespace

void bind_expval(py::module_& m) {
    m.def("expval_cpp", &expval_cpp,
          "Expectation values <psi_b|O_k|psi_b> of Pauli-sum observables on the final state of each parameter set: "
          "shape (B, K), or (K,) for a single run; fusion as for cal_states_cpp",
          py::arg("circuit_data"), py::arg("observables"), py::arg("use_float32") = false, py::kw_only(),
          py::arg("fusion") = 0);
    m.def("expval_trajectories_cpp", &expval_trajectories_cpp,
          "Mean of <O_k> over `trajectories` noise trajectories of each parameter set and its standard error, "
          "measured from the trajectories: (mean, stderr), each of shape (B, K), or (K,) for a single run; the same "
          "seed draws the same trajectories in every set; fusion as for cal_states_cpp",
          py::arg("circuit_data"), py::arg("observables"), py::arg("trajectories"), py::arg("seed") = -1,
          py::arg("use_float32") = false, py::kw_only(), py::arg("fusion") = 0);
    m.def("expval_grad_cpp", &expval_grad_cpp,
          "<O> and its gradient by the adjoint method for each parameter set: (values, grads) of shapes (B,) and "
          "(B, P), or () and (P,) for a single run, the columns as param_columns lists them; fusion as for "
          "cal_states_cpp, applied to the forward run",
          py::arg("circuit_data"), py::arg("observable"), py::arg("use_float32") = false, py::kw_only(),
          py::arg("fusion") = 0);
    m.def("param_columns", &param_columns_py,
          "The gradient's columns: (instruction_index, param_name, slot) for each parameter of each parametrised "
          "instruction, in instruction order",
          py::arg("circuit_data"));
}

}  // namespace wavesim
