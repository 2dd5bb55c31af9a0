// ansatzkit: Python entry of the n-local builder. Converts the ten positional
// arguments and hands them to build_n_local_data; all logic is in plain C++.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "n_local_builder.h"

namespace py = pybind11;

namespace {

// Indexing afresh on every step (rather than iterating over a snapshot)
// keeps this safe when a __name__ property changes the list while it is read.
template <typename Convert>
std::vector<std::string> convert_items(const py::list& items, Convert&& convert) {
    std::vector<std::string> names;
    for (size_t i = 0; i < items.size(); ++i) {
        py::object item = items[i];
        names.push_back(convert(item));
    }
    return names;
}

std::vector<std::string> block_names(const py::list& blocks) {
    return convert_items(blocks, [](const py::object& block) { return block.attr("__name__").cast<std::string>(); });
}

std::vector<std::string> map_names(const py::list& maps) {
    return convert_items(maps, [](const py::object& map) { return map.cast<std::string>(); });
}

// Arguments 5, 8 and 9 belong to the Python layer and do not shape the circuit.
CircuitData build_n_local_data(int num_qubits, const py::list& rotation_blocks, const py::list& entangler_blocks,
                               const py::list& entangler_maps, int repetitions, bool, const std::string& prefix,
                               bool final_rotation, bool, const std::string&) {
    ansatzkit::NLocalRequest request;
    request.num_qubits = num_qubits;
    request.rotation_names = block_names(rotation_blocks);
    request.entangler_names = block_names(entangler_blocks);
    request.entangler_maps = map_names(entangler_maps);
    request.repetitions = repetitions;
    request.prefix = prefix;
    request.final_rotation = final_rotation;
    return ansatzkit::build_n_local_data(request);
}

}  // namespace

PYBIND11_MODULE(ansatzkit, m) { m.def("build_n_local_data", &build_n_local_data, "Build n-local circuit data in C++"); }
