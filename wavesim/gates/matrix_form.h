// Matrix forms: which entries of a matrix may be nonzero, told apart by how
// an entry's row index differs from its column index: in no bit (the
// diagonal), in every bit (the anti-diagonal) or in some. A form lists the
// kinds whose real parts and whose imaginary parts may be nonzero; a kernel
// of that form leaves out the products with the other entries, which are
// exact zeros. What is left is the dense kernel's arithmetic in its order, so
// for finite amplitudes every result equals the dense one (only the sign of a
// zero result may differ).
//
// A dense form may also name sums the dense kernel computes twice. Output h
// is re_h = Sr(h) - Si(h), im_h = Tr(h) + Ti(h), where Sr and Tr sum row h's
// real parts against the amplitudes' real and imaginary parts, Si and Ti its
// imaginary parts against the imaginary and real parts, each in the same
// order of terms. Where every imaginary part is plus (minus) its real part,
// Si = Tr and Ti = Sr (up to sign); where row 1 of a one-target matrix
// repeats row 0's real parts and negates its imaginary parts (or the
// reverse), row 1's four sums are row 0's up to sign. A sum whose products
// all change sign changes sign exactly, so a kernel that computes each
// repeated sum once keeps every bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wavesim/base/bits.h"
#include "wavesim/base/matrix.h"

namespace wavesim {

enum EntryKind : unsigned { kDiagonalEntry = 1, kAntiDiagonalEntry = 2, kOtherEntry = 4 };
constexpr unsigned kAllEntries = kDiagonalEntry | kAntiDiagonalEntry | kOtherEntry;
// The kind of entry (row, col) of a matrix of `size` rows (a power of two).
constexpr unsigned entry_kind(size_t row, size_t col, size_t size) {
    const size_t flipped = row ^ col;
    return flipped == 0 ? kDiagonalEntry : flipped == size - 1 ? kAntiDiagonalEntry : kOtherEntry;
}
constexpr unsigned matrix_form(unsigned real_kinds, unsigned imag_kinds) { return real_kinds | (imag_kinds << 3); }
constexpr unsigned real_kinds(unsigned form) { return form & kAllEntries; }
constexpr unsigned imag_kinds(unsigned form) { return (form >> 3) & kAllEntries; }
constexpr unsigned kDenseForm = matrix_form(kAllEntries, kAllEntries);

// The sums a dense form repeats (above the kinds' bits).
enum SharedSums : unsigned {
    kNoSharedSums = 0,
    kImagRepeatsReal = 1,  // every imaginary part equals its real part (SY)
    kImagNegatesReal = 2,  // every imaginary part is minus its real part (SY dagger)
    kRowRepeatsReal = 3,   // one target: row 1's real parts are row 0's, its imaginary parts their negation (SX)
    kRowRepeatsImag = 4,   // one target: row 1's imaginary parts are row 0's, its real parts their negation
};
constexpr int kSharedSumsShift = 6;
constexpr unsigned shared_sums(unsigned form) { return form >> kSharedSumsShift; }
constexpr unsigned with_shared_sums(unsigned form, unsigned sums) { return form | (sums << kSharedSumsShift); }
constexpr unsigned without_shared_sums(unsigned form) { return form & kDenseForm; }

// The forms with kernels of their own besides dense: diagonal (RZ, P, RZZ,
// phases under controls), real diagonal, real (RY, H under controls, SWAP),
// "c, -i s" (RX, RXX, RYY, ISWAP), real and imaginary anti-diagonal (X, Y
// under controls).
constexpr unsigned kDiagonalForm = matrix_form(kDiagonalEntry, kDiagonalEntry);
constexpr unsigned kRealDiagonalForm = matrix_form(kDiagonalEntry, 0);
constexpr unsigned kRealForm = matrix_form(kDiagonalEntry | kAntiDiagonalEntry, 0);
constexpr unsigned kRotationForm = matrix_form(kDiagonalEntry, kAntiDiagonalEntry);
constexpr unsigned kRealAntiForm = matrix_form(kAntiDiagonalEntry, 0);
constexpr unsigned kImagAntiForm = matrix_form(0, kAntiDiagonalEntry);
constexpr unsigned kKernelForms[] = {kDiagonalForm, kRealDiagonalForm, kRealForm, kRotationForm,
                                     kRealAntiForm, kImagAntiForm,     kDenseForm};
// The dense forms that share sums.
constexpr unsigned kSharedSumForms[] = {
    with_shared_sums(kDenseForm, kImagRepeatsReal), with_shared_sums(kDenseForm, kImagNegatesReal),
    with_shared_sums(kDenseForm, kRowRepeatsReal), with_shared_sums(kDenseForm, kRowRepeatsImag)};

// Targets up to which a matrix may take a structured form; wider ones are dense.
constexpr int kStructuredTargets = 2;

// The form with a kernel of its own that covers every nonzero entry of `m`
// with the fewest products (a dense one with the sums it repeats). A matrix
// with a non-finite entry, or on more than kStructuredTargets targets, is
// dense.
unsigned kernel_form_of(const Matrix& m);

// Whether every entry `form` allows is allowed by `cover` too.
constexpr bool form_fits(unsigned form, unsigned cover) {
    return (real_kinds(form) & ~real_kinds(cover)) == 0 && (imag_kinds(form) & ~imag_kinds(cover)) == 0;
}

// The form of the reads of an adjoint step whose U has form `form` (which
// shares no sums). For a
// rotation U = c I - i s G about a Pauli string G, each read matrix
// dU U^dagger is -i/2 G: U's form without its diagonal (or the diagonal form
// itself when G is diagonal). Dense stays dense.
constexpr unsigned read_form_of(unsigned form) {
    const unsigned off_diagonal = (real_kinds(form) | imag_kinds(form)) & ~unsigned(kDiagonalEntry);
    if (form == kDenseForm || off_diagonal == 0) return form;
    return matrix_form(real_kinds(form) & ~unsigned(kDiagonalEntry), imag_kinds(form) & ~unsigned(kDiagonalEntry));
}

}  // namespace wavesim
