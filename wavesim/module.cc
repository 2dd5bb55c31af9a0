// wavesim: full state-vector simulation of circuit records. The binding only
// converts arguments and picks the double or float driver.
#include <pybind11/pybind11.h>

#include "cal_states.h"
#include "circuit_records.h"
#include "cpu_features.h"
#include "run_shots.h"

namespace py = pybind11;

namespace {

py::object cal_states_cpp(CircuitData& circuit_data, bool use_float32) {
    return use_float32 ? cal_states<float>(circuit_data) : cal_states<double>(circuit_data);
}

py::object run_cpp(CircuitData& circuit_data, int shots, int num_cbits, int seed, bool use_float32) {
    return use_float32 ? run_shots<float>(circuit_data, shots, num_cbits, seed)
                       : run_shots<double>(circuit_data, shots, num_cbits, seed);
}

}  // namespace

PYBIND11_MODULE(wavesim, m) {
    require_avx2_fma("wavesim");
    m.def("cal_states_cpp", &cal_states_cpp, "C++ implementation of full amplitude simulation", py::arg("circuit_data"),
          py::arg("use_float32") = false);
    m.def("run_cpp", &run_cpp, "Perform shots measurements with projective sampling", py::arg("circuit_data"),
          py::arg("shots"), py::arg("num_cbits"), py::arg("seed") = -1, py::arg("use_float32") = false);
}
