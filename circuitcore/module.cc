// circuitcore: registers the Python classes of the circuit records so that the
// builders can return them and the simulator can take them. Everything here is
// argument conversion; the records themselves live in common/circuit_records.h.
#include <pybind11/complex.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <sstream>

#include "circuit_records.h"

namespace py = pybind11;

namespace {

// Python's None stands for the null reference the records use.
py::object object_or_none(const py::object& value) { return value ? value : py::none(); }
py::object none_to_null(const py::object& value) { return value.is_none() ? py::object() : value; }

std::string repr_value(const ParamValue& value) { return py::repr(py::cast(value)).cast<std::string>(); }

std::string repr_binding(const ParamBinding& b) {
    return "ParamBinding(name=" + py::repr(py::str(b.name)).cast<std::string>() + ", value=" + repr_value(b.value) +
           ")";
}

std::string repr_instruction(const CircuitInstruction& ins) {
    std::ostringstream out;
    out << "CircuitInstruction(name=" << py::repr(py::str(ins.name)).cast<std::string>()
        << ", qubits=" << py::repr(py::cast(ins.qubits)).cast<std::string>()
        << ", controls=" << py::repr(py::cast(ins.controls)).cast<std::string>();
    if (ins.has_param || !ins.param.name.empty()) out << ", param=" << repr_binding(ins.param);
    if (ins.has_param) out << ", has_param=True";
    if (ins.dagger) out << ", dagger=True";
    if (!ins.ctrl_state.empty()) out << ", ctrl_state=" << py::repr(py::str(ins.ctrl_state)).cast<std::string>();
    if (!ins.matrix.empty()) out << ", matrix=<" << ins.matrix.size() << " entries>";
    out << ")";
    return out.str();
}

py::tuple instruction_state(const CircuitInstruction& ins) {
    return py::make_tuple(ins.name, ins.matrix, ins.qubits, ins.controls, ins.param.name, ins.param.value,
                          ins.has_param, ins.dagger, ins.ctrl_state);
}

CircuitInstruction instruction_from_state(const py::tuple& t) {
    if (t.size() != 9) throw std::runtime_error("CircuitInstruction: invalid pickled state");
    CircuitInstruction ins;
    ins.name = t[0].cast<std::string>();
    ins.matrix = t[1].cast<std::vector<std::complex<double>>>();
    ins.qubits = t[2].cast<std::vector<int32_t>>();
    ins.controls = t[3].cast<std::vector<int32_t>>();
    ins.param = ParamBinding{t[4].cast<std::string>(), t[5].cast<ParamValue>()};
    ins.has_param = t[6].cast<bool>();
    ins.dagger = t[7].cast<bool>();
    ins.ctrl_state = t[8].cast<std::string>();
    return ins;
}

py::tuple data_state(const CircuitData& d) {
    py::list instructions;
    for (const auto& ins : d.instructions) instructions.append(instruction_state(ins));
    py::list entries;
    for (const auto& e : d.params.entries) entries.append(py::make_tuple(e.name, e.value));
    return py::make_tuple(d.num_qubits, instructions, py::make_tuple(d.params.prefix, d.params.size, entries),
                          object_or_none(d.bound_values), d.shaped_binding, d.value_shape_set, d.value_shape,
                          d.aux_word);
}

CircuitData data_from_state(const py::tuple& t) {
    if (t.size() != 8) throw std::runtime_error("CircuitData: invalid pickled state");
    CircuitData d;
    d.num_qubits = t[0].cast<int32_t>();
    for (const auto& item : t[1].cast<py::list>())
        d.instructions.push_back(instruction_from_state(item.cast<py::tuple>()));
    auto table = t[2].cast<py::tuple>();
    d.params.prefix = table[0].cast<std::string>();
    d.params.size = table[1].cast<int32_t>();
    for (const auto& item : table[2].cast<py::list>()) {
        auto e = item.cast<py::tuple>();
        d.params.entries.push_back(ParamBinding{e[0].cast<std::string>(), e[1].cast<ParamValue>()});
    }
    d.bound_values = none_to_null(t[3]);
    d.shaped_binding = t[4].cast<bool>();
    d.value_shape_set = t[5].cast<uint64_t>();
    d.value_shape = t[6].cast<std::vector<int64_t>>();
    d.aux_word = t[7].cast<int32_t>();
    return d;
}

// Record lists are handed out as copies: element references into the vector
// would dangle as soon as a new list is assigned.
std::vector<ParamBinding> entries_copy(const ParamTable& t) { return t.entries; }
void set_entries(ParamTable& t, std::vector<ParamBinding> entries) { t.entries = std::move(entries); }
std::vector<CircuitInstruction> instructions_copy(const CircuitData& d) { return d.instructions; }
void set_instructions(CircuitData& d, std::vector<CircuitInstruction> instructions) {
    d.instructions = std::move(instructions);
}

template <typename T, typename Class>
void add_copy_protocol(Class& cls) {
    cls.def("__copy__", [](const T& self) { return T(self); });
    cls.def(
        "__deepcopy__", [](const T& self, py::dict) { return T(self); }, py::arg("memo"));
}

}  // namespace

PYBIND11_MODULE(circuitcore, m) {
    m.doc() = "Python classes of the circuit records exchanged by the native modules.";

    py::class_<ParamBinding> binding(m, "ParamBinding", "One circuit parameter and its bound value(s).");
    binding
        .def(py::init([](std::string name, ParamValue value) {
                 return ParamBinding{std::move(name), std::move(value)};
             }),
             py::arg("name") = "", py::arg("value") = std::vector<double>{})
        .def_readwrite("name", &ParamBinding::name)
        .def_readwrite("value", &ParamBinding::value, "A float (one value) or a list of floats.")
        .def("__repr__", &repr_binding)
        .def(
            "__eq__",
            [](const ParamBinding& a, const ParamBinding& b) { return a.name == b.name && a.value == b.value; },
            py::is_operator())
        .def(py::pickle([](const ParamBinding& b) { return py::make_tuple(b.name, b.value); },
                        [](const py::tuple& t) {
                            if (t.size() != 2) throw std::runtime_error("ParamBinding: invalid pickled state");
                            return ParamBinding{t[0].cast<std::string>(), t[1].cast<ParamValue>()};
                        }));
    add_copy_protocol<ParamBinding>(binding);

    py::class_<ParamTable> table(m, "ParamTable", "The parameters of a circuit, named prefix[0], prefix[1], ...");
    table.def(py::init(&make_param_table), py::arg("prefix") = "", py::arg("size") = 0)
        .def_readwrite("prefix", &ParamTable::prefix)
        .def_readwrite("size", &ParamTable::size)
        .def_property("entries", &entries_copy, &set_entries,
                      "The parameters in order (a copy: assign a new list to change them).")
        .def_property_readonly(
            "owner", [](const ParamTable& t) { return reinterpret_cast<uintptr_t>(t.owner); },
            "Address of the record the builder filled (0 when none); informational only.")
        .def("__repr__",
             [](const ParamTable& t) {
                 return "ParamTable(prefix=" + py::repr(py::str(t.prefix)).cast<std::string>() +
                        ", size=" + std::to_string(t.size) + ", entries=<" + std::to_string(t.entries.size()) + ">)";
             })
        .def(py::pickle(
            [](const ParamTable& t) {
                py::list entries;
                for (const auto& e : t.entries) entries.append(py::make_tuple(e.name, e.value));
                return py::make_tuple(t.prefix, t.size, entries);
            },
            [](const py::tuple& s) {
                if (s.size() != 3) throw std::runtime_error("ParamTable: invalid pickled state");
                ParamTable t;
                t.prefix = s[0].cast<std::string>();
                t.size = s[1].cast<int32_t>();
                for (const auto& item : s[2].cast<py::list>()) {
                    auto e = item.cast<py::tuple>();
                    t.entries.push_back(ParamBinding{e[0].cast<std::string>(), e[1].cast<ParamValue>()});
                }
                return t;
            }));
    add_copy_protocol<ParamTable>(table);

    py::class_<CircuitInstruction> instruction(m, "CircuitInstruction", "One operation of a circuit.");
    instruction
        .def(py::init([](std::string name, std::vector<int32_t> qubits, std::vector<int32_t> controls,
                         std::optional<ParamBinding> param, bool has_param, bool dagger, std::string ctrl_state,
                         std::vector<std::complex<double>> matrix) {
                 CircuitInstruction ins;
                 ins.name = std::move(name);
                 ins.qubits = std::move(qubits);
                 ins.controls = std::move(controls);
                 if (param) ins.param = *param;
                 ins.has_param = has_param;
                 ins.dagger = dagger;
                 ins.ctrl_state = std::move(ctrl_state);
                 ins.matrix = std::move(matrix);
                 return ins;
             }),
             py::arg("name") = "", py::arg("qubits") = std::vector<int32_t>{},
             py::arg("controls") = std::vector<int32_t>{}, py::arg("param") = py::none(), py::arg("has_param") = false,
             py::arg("dagger") = false, py::arg("ctrl_state") = "",
             py::arg("matrix") = std::vector<std::complex<double>>{})
        .def_readwrite("name", &CircuitInstruction::name)
        .def_readwrite("matrix", &CircuitInstruction::matrix, "Explicit unitary, column-major (list of complex).")
        .def_readwrite("qubits", &CircuitInstruction::qubits)
        .def_readwrite("controls", &CircuitInstruction::controls)
        .def_readwrite("param", &CircuitInstruction::param)
        .def_readwrite("has_param", &CircuitInstruction::has_param)
        .def_readwrite("dagger", &CircuitInstruction::dagger)
        .def_readwrite("ctrl_state", &CircuitInstruction::ctrl_state)
        .def("__repr__", &repr_instruction)
        .def(
            "__eq__",
            [](const CircuitInstruction& a, const CircuitInstruction& b) {
                return a.name == b.name && a.matrix == b.matrix && a.qubits == b.qubits && a.controls == b.controls &&
                       a.param.name == b.param.name && a.param.value == b.param.value && a.has_param == b.has_param &&
                       a.dagger == b.dagger && a.ctrl_state == b.ctrl_state;
            },
            py::is_operator())
        .def(py::pickle(&instruction_state, &instruction_from_state));
    add_copy_protocol<CircuitInstruction>(instruction);

    py::class_<CircuitData> data(m, "CircuitData", "A whole circuit: qubit count, instructions and parameters.");
    data.def(py::init([](int32_t num_qubits, std::vector<CircuitInstruction> instructions,
                         std::optional<ParamTable> params, py::object bound_values, bool shaped_binding,
                         uint64_t value_shape_set, std::vector<int64_t> value_shape, int32_t aux_word) {
                 CircuitData d;
                 d.num_qubits = num_qubits;
                 d.instructions = std::move(instructions);
                 if (params) d.params = *params;
                 d.bound_values = none_to_null(bound_values);
                 d.shaped_binding = shaped_binding;
                 d.value_shape_set = value_shape_set;
                 d.value_shape = std::move(value_shape);
                 d.aux_word = aux_word;
                 return d;
             }),
             py::arg("num_qubits") = 0, py::arg("instructions") = std::vector<CircuitInstruction>{},
             py::arg("params") = py::none(), py::arg("bound_values") = py::none(), py::arg("shaped_binding") = false,
             py::arg("value_shape_set") = 0, py::arg("value_shape") = std::vector<int64_t>{}, py::arg("aux_word") = 0)
        .def_readwrite("num_qubits", &CircuitData::num_qubits)
        .def_property("instructions", &instructions_copy, &set_instructions,
                      "The operations in order (a copy: assign a new list to change them).")
        .def_readwrite("params", &CircuitData::params)
        .def_property(
            "bound_values", [](const CircuitData& d) { return object_or_none(d.bound_values); },
            [](CircuitData& d, py::object value) { d.bound_values = none_to_null(value); })
        .def_readwrite("shaped_binding", &CircuitData::shaped_binding)
        .def_readwrite("value_shape_set", &CircuitData::value_shape_set)
        .def_readwrite("value_shape", &CircuitData::value_shape)
        .def_readwrite("aux_word", &CircuitData::aux_word)
        .def("__repr__",
             [](const CircuitData& d) {
                 std::ostringstream out;
                 out << "CircuitData(num_qubits=" << d.num_qubits << ", instructions=<" << d.instructions.size()
                     << ">, params=<" << d.params.entries.size()
                     << " entries, prefix=" << py::repr(py::str(d.params.prefix)).cast<std::string>() << ">";
                 if (d.shaped_binding) out << ", shaped_binding=True";
                 out << ")";
                 return out.str();
             })
        .def(py::pickle(&data_state, &data_from_state));
    add_copy_protocol<CircuitData>(data);
}
