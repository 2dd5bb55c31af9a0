#include "threads.h"

#include <thread>

namespace wavesim {

const int kHardwareThreads = static_cast<int>(std::thread::hardware_concurrency());

int thread_count_for(int num_qubits) {
    constexpr int kLargestSerialQubits = 14;
    if (num_qubits > kLargestSerialQubits) return kHardwareThreads < 2 ? 1 : kHardwareThreads;
    return 1;
}

}  // namespace wavesim
