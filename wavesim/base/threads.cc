// The thread rule and the last-level cache probe.
#include "wavesim/base/threads.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace wavesim {

const int kHardwareThreads = static_cast<int>(std::thread::hardware_concurrency());

int thread_count_for(int num_qubits) {
    constexpr int kLargestSerialQubits = 14;
    if (num_qubits > kLargestSerialQubits) return kHardwareThreads < 2 ? 1 : kHardwareThreads;
    return 1;
}

uint64_t parse_cache_size(const std::string& text) {
    std::istringstream in(text);
    uint64_t value = 0;
    if (!(in >> value)) return 0;
    char unit = 0;
    in >> unit;
    if (unit == 'K') return value << 10;
    if (unit == 'M') return value << 20;
    if (unit == 'G') return value << 30;
    return value;
}

uint64_t listed_last_level_cache(const std::string& cache_dir) {
    constexpr int kMaxCacheIndex = 16;
    int best_level = 0;
    uint64_t bytes = 0;
    for (int index = 0; index < kMaxCacheIndex; ++index) {
        const std::string dir = cache_dir + "/index" + std::to_string(index);
        std::ifstream level_file(dir + "/level");
        int level = 0;
        if (!(level_file >> level)) break;
        std::ifstream size_file(dir + "/size");
        std::string size_text;
        size_file >> size_text;
        const uint64_t size = parse_cache_size(size_text);
        if (level > best_level && size > 0) {
            best_level = level;
            bytes = size;
        }
    }
    return bytes;
}

uint64_t last_level_cache_bytes() {
    constexpr uint64_t kFallback = uint64_t{8} << 20;
    static const uint64_t kBytes = [] {
        const uint64_t listed = listed_last_level_cache("/sys/devices/system/cpu/cpu0/cache");
        if (listed > 0) return listed;
        const long l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
        return l3 > 0 ? uint64_t(l3) : kFallback;
    }();
    return kBytes;
}

}  // namespace wavesim
