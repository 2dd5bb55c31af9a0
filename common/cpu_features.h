// Import-time guard for modules whose cores use AVX2 and FMA: called first in
// the module's initialisation (compiled for baseline x86-64), so a processor
// without them gets an ImportError instead of dying on an illegal instruction.
#pragma once

#include <stdexcept>
#include <string>

inline void require_avx2_fma(const std::string& module_name) {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        throw std::runtime_error(module_name +
                                 " needs a processor with the AVX2 and FMA instruction sets, and this one lacks them");
    }
}
