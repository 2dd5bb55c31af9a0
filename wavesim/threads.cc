#include "threads.h"

#include <thread>

namespace wavesim {

const int hardware_threads = static_cast<int>(std::thread::hardware_concurrency());

int thread_count_for(int num_qubits) {
    constexpr int kLargestSerialQubits = 14;
    if (num_qubits > kLargestSerialQubits) return hardware_threads < 2 ? 1 : hardware_threads;
    return 1;
}

}  // namespace wavesim
