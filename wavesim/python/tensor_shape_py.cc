// Reading a bound-values tensor's shape through Python, for the batch-count rule.
#include "wavesim/python/tensor_shape_py.h"

#include <pybind11/pybind11.h>

#include <string>

namespace wavesim {

namespace py = pybind11;

namespace {

// A caller holding a tensor has imported torch, so looking it up in
// sys.modules (instead of importing it) never loads torch on our account.
bool is_torch_tensor(py::handle object) {
    const auto modules = py::reinterpret_borrow<py::dict>(PyImport_GetModuleDict());
    if (!modules.contains("torch")) return false;
    const py::object torch = modules["torch"];
    if (!py::hasattr(torch, "Tensor")) return false;
    return py::isinstance(object, torch.attr("Tensor"));
}

// The text pybind11 gives a failed cast in a release build.
[[noreturn]] void throw_cast_error(py::handle object) {
    throw py::cast_error(
        "Unable to cast Python instance of type " + py::str(py::type::handle_of(object)).cast<std::string>() +
        " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)");
}

}  // namespace

TensorShape read_bound_shape(const CircuitData& circuit) {
    const py::handle tensor = circuit.bound_values;
    if (!is_torch_tensor(tensor)) throw_cast_error(tensor);
    TensorShape shape;
    shape.dims = tensor.attr("dim")().cast<int64_t>();
    if (shape.dims >= 2) shape.size1 = tensor.attr("size")(1).cast<int64_t>();
    return shape;
}

}  // namespace wavesim
