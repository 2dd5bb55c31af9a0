// Unbiased integer in [0, m) from a 32-bit engine: multiply-shift with
// rejection of the few low products that would favour some results. The
// circuits made for a given seed depend on this exact draw sequence.
#pragma once

#include <cstdint>
#include <limits>

namespace cliffmix {

template <typename Engine>
uint32_t uniform_below(Engine& generator, uint32_t m) {
    static_assert(Engine::min() == 0 && Engine::max() == std::numeric_limits<uint32_t>::max(),
                  "uniform_below needs an engine with full 32-bit outputs");
    constexpr uint64_t kWordRange = uint64_t{1} << 32;
    uint64_t product = uint64_t{static_cast<uint32_t>(generator())} * m;
    uint32_t low = static_cast<uint32_t>(product);
    if (low < m) {
        // 2^32 mod m products are rejected so that every result has the same number of sources.
        const uint32_t threshold = static_cast<uint32_t>((kWordRange - m) % m);
        while (low < threshold) {
            product = uint64_t{static_cast<uint32_t>(generator())} * m;
            low = static_cast<uint32_t>(product);
        }
    }
    return static_cast<uint32_t>(product >> 32);
}

}  // namespace cliffmix
