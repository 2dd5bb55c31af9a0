// Validation of the random builder's gate selection.
#include "gate_selection.h"

#include <stdexcept>
#include <string>

namespace cliffmix {

namespace py = pybind11;

namespace {

constexpr const char* kSelectionTypeMessage = "gates must be \"all\" or a list of gate name strings";

// Only A-Z change: the C library's tolower depends on the locale Python set,
// which could rewrite bytes of multi-byte UTF-8 characters.
void ascii_lower_in_place(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::vector<std::string> selection_names(py::handle gates) {
    if (py::isinstance<py::str>(gates)) {
        // Compared as text: a string that cannot be encoded (lone surrogates) is simply not "all".
        if (PyUnicode_CompareWithASCIIString(gates.ptr(), "all") != 0) {
            throw std::invalid_argument(kSelectionTypeMessage);
        }
        std::vector<std::string> all;
        for (const auto& gate : kCliffordGateList) all.emplace_back(gate.name);
        return all;
    }
    if (!PyList_Check(gates.ptr()) && !PyTuple_Check(gates.ptr())) throw std::invalid_argument(kSelectionTypeMessage);
    std::vector<std::string> names;
    for (py::handle item : gates) names.push_back(item.cast<std::string>());
    return names;
}

}  // namespace

std::vector<const CliffordGate*> parse_gate_selection(py::handle gates) {
    std::vector<std::string> names = selection_names(gates);
    if (names.empty()) throw std::invalid_argument("gates list must not be empty");
    std::vector<const CliffordGate*> selection;
    selection.reserve(names.size());
    for (std::string& name : names) {
        ascii_lower_in_place(name);
        const CliffordGate* gate = find_clifford_gate(name);
        if (gate == nullptr) throw std::invalid_argument(unsupported_gate_message(name));
        selection.push_back(gate);
    }
    return selection;
}

}  // namespace cliffmix
