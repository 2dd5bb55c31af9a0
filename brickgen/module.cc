// brickgen: quantum-volume operation lists for the Python layer. Only argument
// conversion and docstrings here; the list is built in qv_op_list.cc.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "cpu_features.h"
#include "qv_op_list.h"

PYBIND11_MODULE(brickgen, m) {
    require_avx2_fma("brickgen");
    // No py::arg on purpose: the arguments are positional-only (arg0..arg2).
    m.def("build_qv_op_list", &brickgen::build_qv_op_list, "Ultra-fast QV operation list generator.");
    m.def("build_qv_op_list_ultra", &brickgen::build_qv_op_list_ultra,
          "Ultra QV operation list generator with thread-local RNG.");
}
