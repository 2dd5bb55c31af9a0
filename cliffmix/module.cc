// cliffmix: random Clifford circuits as CircuitData records. Argument
// conversion and docstrings only; the builders live in clifford_builder.cc.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "clifford_builder.h"

namespace py = pybind11;

PYBIND11_MODULE(cliffmix, m) {
    m.doc() = "Random Clifford circuits over cx, cz, cy, swap, x, y, z, s, sdg, h, returned as CircuitData.";

    m.def(
        "build_random_clifford_data",
        [](int32_t num_qubits, int32_t num_gates, const py::object& gates, int32_t seed) {
            return cliffmix::build_random_clifford_data(num_qubits, num_gates, gates, seed);
        },
        "Build a random Clifford circuit (CircuitData) with internal C++ RNG.", py::arg("num_qubits"),
        py::arg("num_gates"), py::arg("gates") = py::str("all"), py::arg("seed") = -1);

    m.def("build_random_clifford_from_indices", &cliffmix::build_random_clifford_from_indices,
          "Build a random Clifford circuit (CircuitData) from pre-generated gate names and qubit indices (for "
          "norvik-compatible reproducibility).",
          py::arg("num_qubits"), py::arg("gate_names"), py::arg("qubit_indices"));
}
