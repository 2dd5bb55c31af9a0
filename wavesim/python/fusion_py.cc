// The fusion keyword read from Python.
#include "wavesim/python/fusion_py.h"

#include <stdexcept>
#include <string>

#include "wavesim/plan/fusion.h"

namespace py = pybind11;

namespace wavesim {

int fusion_setting(py::handle value) {
    if (py::isinstance<py::str>(value)) {
        if (value.cast<std::string>() == "auto") return kFusionAuto;
        throw std::invalid_argument(fusion_settings_text() + "; got " + std::string(py::repr(value)));
    }
    // A number converts as an int argument does (anything with __index__ within a C int).
    py::detail::make_caster<int> number;
    if (!number.load(value, true))
        throw py::type_error(fusion_settings_text() + "; got an object of type " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    const int fusion = py::detail::cast_op<int>(number);
    check_fusion(fusion);
    return fusion;
}

}  // namespace wavesim
