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
            const size_t flipped = r ^ c;
            const unsigned kind = flipped == 0          ? kDiagonalEntry
                                  : flipped == Size - 1 ? kAntiDiagonalEntry
                                                        : kOtherEntry;
            real |= x != 0 ? kind : 0;
            imag |= y != 0 ? kind : 0;
        }
    return finite ? kCoveringForm[matrix_form(real, imag)] : kDenseForm;
}

}  // namespace

unsigned kernel_form_of(const Matrix& m) {
    constexpr size_t kOneTarget = 4, kTwoTargets = 16;
    if (m.size() == kOneTarget) return form_of<2>(m.data());
    if (m.size() == kTwoTargets) return form_of<4>(m.data());
    return kDenseForm;
}

}  // namespace wavesim
