// Whether 512-bit vectors would pay for the matrix kernels on this machine:
// one thread applies a one-qubit matrix (dense: 8 products an amplitude pair;
// diagonal: 4) to a block that stays in its L2 cache, over and over, with
// 256-bit and with 512-bit vectors, and reports ns per amplitude of each and
// their ratio. On cores whose 512-bit units are two 256-bit halves (AMD Zen 4)
// the arithmetic rate is the same; the kernels keep 256 bits unless this
// probe shows a gain.
//
//   build/<dir>/avx512_probe_perf [log2 amplitudes of the block, default 14]
#include <immintrin.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "perf_harness.h"

namespace {

constexpr double kSeconds = 0.3;
constexpr int kDefaultBlockQubits = 14;
constexpr double kC = 0.8, kS = 0.6;  // a rotation's entries: any values serve

// Pairs (i, i + half) of one target above the register width, dense or diagonal.
template <bool Dense>
void sweep256(double* re, double* im, size_t n, size_t half) {
    const __m256d c = _mm256_set1_pd(kC), s = _mm256_set1_pd(kS);
    for (size_t base = 0; base < n; base += 2 * half)
        for (size_t j = base; j < base + half; j += 4) {
            const __m256d r0 = _mm256_load_pd(re + j), i0 = _mm256_load_pd(im + j);
            const __m256d r1 = _mm256_load_pd(re + j + half), i1 = _mm256_load_pd(im + j + half);
            if constexpr (Dense) {
                _mm256_store_pd(re + j, _mm256_fmadd_pd(s, i1, _mm256_fmsub_pd(c, r0, _mm256_mul_pd(s, r1))));
                _mm256_store_pd(im + j, _mm256_fmadd_pd(s, r1, _mm256_fmadd_pd(c, i0, _mm256_mul_pd(s, i1))));
                _mm256_store_pd(re + j + half, _mm256_fmadd_pd(s, i0, _mm256_fmadd_pd(c, r1, _mm256_mul_pd(s, r0))));
                _mm256_store_pd(im + j + half, _mm256_fmsub_pd(c, i1, _mm256_fmadd_pd(s, r0, _mm256_mul_pd(s, i0))));
            } else {
                _mm256_store_pd(re + j, _mm256_fmsub_pd(c, r0, _mm256_mul_pd(s, i0)));
                _mm256_store_pd(im + j, _mm256_fmadd_pd(c, i0, _mm256_mul_pd(s, r0)));
                _mm256_store_pd(re + j + half, _mm256_fmadd_pd(c, r1, _mm256_mul_pd(s, i1)));
                _mm256_store_pd(im + j + half, _mm256_fmsub_pd(c, i1, _mm256_mul_pd(s, r1)));
            }
        }
}

template <bool Dense>
__attribute__((target("avx512f"))) void sweep512(double* re, double* im, size_t n, size_t half) {
    const __m512d c = _mm512_set1_pd(kC), s = _mm512_set1_pd(kS);
    for (size_t base = 0; base < n; base += 2 * half)
        for (size_t j = base; j < base + half; j += 8) {
            const __m512d r0 = _mm512_load_pd(re + j), i0 = _mm512_load_pd(im + j);
            const __m512d r1 = _mm512_load_pd(re + j + half), i1 = _mm512_load_pd(im + j + half);
            if constexpr (Dense) {
                _mm512_store_pd(re + j, _mm512_fmadd_pd(s, i1, _mm512_fmsub_pd(c, r0, _mm512_mul_pd(s, r1))));
                _mm512_store_pd(im + j, _mm512_fmadd_pd(s, r1, _mm512_fmadd_pd(c, i0, _mm512_mul_pd(s, i1))));
                _mm512_store_pd(re + j + half, _mm512_fmadd_pd(s, i0, _mm512_fmadd_pd(c, r1, _mm512_mul_pd(s, r0))));
                _mm512_store_pd(im + j + half, _mm512_fmsub_pd(c, i1, _mm512_fmadd_pd(s, r0, _mm512_mul_pd(s, i0))));
            } else {
                _mm512_store_pd(re + j, _mm512_fmsub_pd(c, r0, _mm512_mul_pd(s, i0)));
                _mm512_store_pd(im + j, _mm512_fmadd_pd(c, i0, _mm512_mul_pd(s, r0)));
                _mm512_store_pd(re + j + half, _mm512_fmadd_pd(c, r1, _mm512_mul_pd(s, i1)));
                _mm512_store_pd(im + j + half, _mm512_fmsub_pd(c, i1, _mm512_mul_pd(s, r1)));
            }
        }
}

}  // namespace

int main(int argc, char** argv) {
    const int qubits = argc > 1 ? std::atoi(argv[1]) : kDefaultBlockQubits;
    const size_t n = size_t{1} << qubits;
    std::printf("CPU: %s; block of 2^%d amplitudes (%zu KiB), one thread\n", cpu_model().c_str(), qubits,
                2 * n * sizeof(double) >> 10);
    if (!__builtin_cpu_supports("avx512f")) {
        std::printf("no AVX-512 on this processor: nothing to compare\n");
        return 0;
    }
    wavesim::AlignedArray<double> re = wavesim::allocate_aligned<double>(n), im = wavesim::allocate_aligned<double>(n);
    for (size_t k = 0; k < n; ++k) re.get()[k] = im.get()[k] = 1.0 / double(k + 1);
    const size_t half = n / 4;  // a target in the middle of the block
    auto ns = [&](auto sweep) {
        return seconds_per_call([&] { sweep(re.get(), im.get(), n, half); }, kSeconds) / n * 1e9;
    };
    const double dense256 = ns(sweep256<true>), dense512 = ns(sweep512<true>);
    const double diag256 = ns(sweep256<false>), diag512 = ns(sweep512<false>);
    std::printf("%-10s %10s %10s %12s\n", "matrix", "256 (ns)", "512 (ns)", "512 / 256");
    std::printf("%-10s %10.3f %10.3f %12.2f\n", "dense", dense256, dense512, dense512 / dense256);
    std::printf("%-10s %10.3f %10.3f %12.2f\n", "diagonal", diag256, diag512, diag512 / diag256);
    return 0;
}
