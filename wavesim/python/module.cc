// wavesim: full state-vector simulation of circuit records. The binding
// converts arguments, picks the double or float driver, and turns the
// drivers' plain results into Python objects; the cores hold no Python code.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>

#include "common/circuit_records.h"
#include "common/cpu_features.h"
#include "wavesim/batch/batch_count.h"
#include "wavesim/batch/cal_states.h"
#include "wavesim/gates/gate_catalogue.h"
#include "wavesim/noise/channels.h"
#include "wavesim/noise/density_matrix.h"
#include "wavesim/noise/noisy_shots.h"
#include "wavesim/python/expval_py.h"
#include "wavesim/python/fusion_py.h"
#include "wavesim/python/tensor_shape_py.h"
#include "wavesim/shots/driver.h"

namespace py = pybind11;

namespace {

// The array takes over the buffer: no copy of the amplitudes. The capsule
// owns the buffer, which frees its memory the way it was taken.
template <typename Real>
py::array to_numpy(wavesim::AmplitudeBuffer<Real>&& buffer) {
    using Buffer = wavesim::AmplitudeBuffer<Real>;
    std::vector<py::ssize_t> shape(buffer.shape.begin(), buffer.shape.end());
    std::complex<Real>* data = buffer.data.get();
    auto held = std::make_unique<Buffer>(std::move(buffer));
    py::capsule owner(held.get(), [](void* p) { delete static_cast<Buffer*>(p); });
    held.release();
    return py::array_t<std::complex<Real>>(shape, data, owner);
}

py::dict to_dict(const wavesim::ShotCounts& counts) {
    py::dict result;
    for (const auto& [key, count] : counts) result[py::str(key)] = py::int_(count);
    return result;
}

template <typename Real>
py::object cal_states(const CircuitData& circuit, int fusion) {
    const int batches = wavesim::batch_count(circuit, wavesim::read_bound_shape);
    return to_numpy(wavesim::final_amplitudes<Real>(circuit, batches, fusion));
}

// One dict (key -> count, keys ascending) for a single parameter set, else a list of one per set. A circuit
// without channels and without readout error takes the noiseless driver.
template <typename Real>
py::object counts(const CircuitData& circuit, int shots, int num_cbits, int seed, int fusion,
                  const wavesim::ReadoutError& readout) {
    const bool noiseless = wavesim::first_channel(circuit.instructions) == circuit.instructions.size();
    const std::vector<wavesim::ShotCounts> batches =
        noiseless && readout.empty()
            ? wavesim::run_shots<Real>(circuit, shots, num_cbits, seed, wavesim::read_bound_shape, fusion)
            : wavesim::run_noisy_shots<Real>(circuit, shots, num_cbits, seed, wavesim::read_bound_shape, fusion,
                                             readout);
    if (batches.size() == 1) return to_dict(batches[0]);
    py::list results;
    for (const auto& batch : batches) results.append(to_dict(batch));
    return std::move(results);
}

int batch_count(const CircuitData& circuit_data) {
    return wavesim::batch_count(circuit_data, wavesim::read_bound_shape);
}

// The fusion setting is checked before anything else: a bad value is a ValueError whatever the circuit.
py::object cal_states_cpp(CircuitData& circuit_data, bool use_float32, py::handle fusion_value) {
    const int fusion = wavesim::fusion_setting(fusion_value);
    wavesim::refuse_channels(circuit_data.instructions, "cal_states_cpp",
                             "a pure state cannot hold a mixture; density_matrix_cpp, expval_cpp, "
                             "expval_trajectories_cpp and run_cpp take noisy circuits");
    return use_float32 ? cal_states<float>(circuit_data, fusion) : cal_states<double>(circuit_data, fusion);
}

template <typename Real>
py::object density_matrices(const CircuitData& circuit, int fusion) {
    const int batches = wavesim::batch_count(circuit, wavesim::read_bound_shape);
    wavesim::check_channels(circuit.instructions, circuit.num_qubits, batches);
    return to_numpy(wavesim::density_matrices<Real>(circuit, batches, fusion));
}

py::object density_matrix_cpp(CircuitData& circuit_data, bool use_float32, py::handle fusion_value) {
    const int fusion = wavesim::fusion_setting(fusion_value);
    return use_float32 ? density_matrices<float>(circuit_data, fusion) : density_matrices<double>(circuit_data, fusion);
}

bool is_number(py::handle item) {
    return !py::isinstance<py::str>(item) && !py::isinstance<py::bytes>(item) && PyNumber_Check(item.ptr()) != 0 &&
           !PySequence_Check(item.ptr());
}

std::pair<double, double> readout_pair(py::handle item) {
    const std::string refusal = "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs";
    if (!PySequence_Check(item.ptr()) || py::isinstance<py::str>(item) || py::isinstance<py::bytes>(item) ||
        PySequence_Size(item.ptr()) != 2)
        throw py::value_error(refusal);
    const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
    if (!is_number(pair[0]) || !is_number(pair[1])) throw py::value_error(refusal);
    return {pair[0].cast<double>(), pair[1].cast<double>()};
}

// None, one pair for every classical bit, or one pair per bit.
wavesim::ReadoutError readout_from(py::handle object) {
    if (object.is_none()) return {};
    const std::string refusal = "readout_error must be None, a pair (p(1|0), p(0|1)) or a sequence of such pairs";
    if (!PySequence_Check(object.ptr()) || py::isinstance<py::str>(object) || py::isinstance<py::bytes>(object))
        throw py::value_error(refusal);
    const py::sequence items = py::reinterpret_borrow<py::sequence>(object);
    if (items.size() == 2 && is_number(items[0]) && is_number(items[1])) return {readout_pair(object)};
    wavesim::ReadoutError pairs;
    for (py::handle item : items) pairs.push_back(readout_pair(item));
    return pairs;
}

py::object run_cpp(CircuitData& circuit_data, int shots, int num_cbits, int seed, bool use_float32,
                   py::handle fusion_value, py::handle readout_error) {
    const int fusion = wavesim::fusion_setting(fusion_value);
    const wavesim::ReadoutError readout = readout_from(readout_error);
    return use_float32 ? counts<float>(circuit_data, shots, num_cbits, seed, fusion, readout)
                       : counts<double>(circuit_data, shots, num_cbits, seed, fusion, readout);
}

}  // namespace

PYBIND11_MODULE(wavesim, m) {
    require_avx2_fma("wavesim");
    m.def("cal_states_cpp", &cal_states_cpp, "C++ implementation of full amplitude simulation", py::arg("circuit_data"),
          py::arg("use_float32") = false, py::kw_only(), py::arg("fusion") = 0);
    m.def("run_cpp", &run_cpp,
          "Perform shots measurements with projective sampling; noise channels draw their branches shot by shot, "
          "readout_error flips the recorded bits",
          py::arg("circuit_data"), py::arg("shots"), py::arg("num_cbits"), py::arg("seed") = -1,
          py::arg("use_float32") = false, py::kw_only(), py::arg("fusion") = 0, py::arg("readout_error") = py::none());
    m.def("density_matrix_cpp", &density_matrix_cpp,
          "Density matrix rho of the circuit's final mixed state: shape (2^n, 2^n), or (B, 2^n, 2^n) for B parameter "
          "sets; MEASURE acts as the non-selective measurement, RESET as the reset channel; fusion as for "
          "cal_states_cpp",
          py::arg("circuit_data"), py::arg("use_float32") = false, py::kw_only(), py::arg("fusion") = 0);
    m.def("batch_count", &batch_count,
          "Number of parameter sets cal_states_cpp and run_cpp run the circuit for; 0 or 1 means a single run",
          py::arg("circuit_data"));
    m.def("gate_param_count", &wavesim::gate_param_count,
          "Number of parameters one set of the named gate (0 to 4) or noise channel (up to 15) takes; 0 for a name "
          "outside the simulator's vocabulary",
          py::arg("name"));
    wavesim::bind_expval(m);
}
