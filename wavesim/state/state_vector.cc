// The qubit check and the component arrays of a state: heap or mapped, committed before use.
#include "wavesim/state/state_vector.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "wavesim/base/page_memory.h"

namespace wavesim {

void check_qubit(const char* operation, int64_t qubit, int64_t num_qubits) {
    if (qubit < 0 || qubit >= num_qubits) {
        throw std::runtime_error(std::string(operation) + " addresses qubit " + std::to_string(qubit) +
                                 ", outside a state of " + std::to_string(num_qubits) + " qubits");
    }
}

void* allocate_component(size_t bytes, int threads) {
    if (bytes >= kMappedBytes) {
        void* data = map_pages(bytes);
        if (data != nullptr) commit_pages(data, bytes, threads);
        return data;
    }
    static_assert(kKeptAlignment % kStateAlignment == 0);
    void* data = take_block(bytes);
    if (data != nullptr) std::memset(data, 0, bytes);
    return data;
}

void free_component(void* data, size_t bytes) {
    if (data == nullptr) return;
    if (bytes >= kMappedBytes) {
        unmap_pages(data, bytes);
    } else {
        give_block(data, bytes);
    }
}

void release_consumed(void* data, size_t bytes, size_t begin, size_t end) {
    if (bytes >= kMappedBytes) release_pages(data, bytes, begin, end);
}

}  // namespace wavesim
