// The form of a matrix: its nonzero entry kinds, covered by the cheapest kernel form.
#include "wavesim/gates/matrix_form.h"

#include <array>

namespace wavesim {
namespace {

// For every set of nonzero entry kinds, the kernel form that covers it with the fewest kinds of products.
constexpr auto kCoveringForm = [] {
    std::array<unsigned, kDenseForm + 1> table{};
    for (unsigned entries = 0; entries <= kDenseForm; ++entries) {
        unsigned best = kDenseForm;
        for (unsigned form : kKernelForms) {
            const bool covers = (entries & ~form) == 0;
            if (covers && popcount(form) < popcount(best)) best = form;
        }
        table[entries] = best;
    }
    return table;
}();

// The sums a dense Size x Size matrix repeats.
template <size_t Size>
unsigned shared_sums_of(const Complex* m) {
    bool repeats = true, negates = true, row_real = Size == 2, row_imag = Size == 2;
    for (size_t e = 0; e < Size * Size; ++e) {
        repeats = repeats && m[e].imag() == m[e].real();
        negates = negates && m[e].imag() == -m[e].real();
    }
    for (size_t c = 0; c < 2 && Size == 2; ++c) {
        const Complex top = m[c], bottom = m[Size + c];
        row_real = row_real && bottom.real() == top.real() && bottom.imag() == -top.imag();
        row_imag = row_imag && bottom.real() == -top.real() && bottom.imag() == top.imag();
    }
    return repeats    ? kImagRepeatsReal
           : negates  ? kImagNegatesReal
           : row_real ? kRowRepeatsReal
           : row_imag ? kRowRepeatsImag
                      : kNoSharedSums;
}

// The form of a Size x Size matrix, its loops unrolled.
template <size_t Size>
unsigned form_of(const Complex* m) {
    unsigned real = 0;
    unsigned imag = 0;
    bool finite = true;
    for (size_t r = 0; r < Size; ++r)
        for (size_t c = 0; c < Size; ++c) {
            const double x = m[r * Size + c].real(), y = m[r * Size + c].imag();
            finite = finite && x - x == 0 && y - y == 0;  // false for infinities and NaN
            const unsigned kind = entry_kind(r, c, Size);
            real |= x != 0 ? kind : 0;
            imag |= y != 0 ? kind : 0;
        }
    if (!finite) return kDenseForm;
    const unsigned form = kCoveringForm[matrix_form(real, imag)];
    return form == kDenseForm ? with_shared_sums(form, shared_sums_of<Size>(m)) : form;
}

}  // namespace

unsigned kernel_form_of(const Matrix& m) {
    constexpr size_t kOneTarget = 4, kTwoTargets = 16;
    if (m.size() == kOneTarget) return form_of<2>(m.data());
    if (m.size() == kTwoTargets) return form_of<4>(m.data());
    return kDenseForm;
}

}  // namespace wavesim
