// Matrix forms: which entries of a matrix may be nonzero, told apart by how
// an entry's row index differs from its column index: in no bit (the
// diagonal), in every bit (the anti-diagonal) or in some. A form lists the
// kinds whose real parts and whose imaginary parts may be nonzero; a kernel
// of that form leaves out the products with the other entries, which are
// exact zeros. What is left is the dense kernel's arithmetic in its order, so
// for finite amplitudes every result equals the dense one (only the sign of a
// zero result may differ).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wavesim/base/bits.h"
#include "wavesim/base/matrix.h"

namespace wavesim {

enum EntryKind : unsigned { kDiagonalEntry = 1, kAntiDiagonalEntry = 2, kOtherEntry = 4 };
constexpr unsigned kAllEntries = kDiagonalEntry | kAntiDiagonalEntry | kOtherEntry;
constexpr unsigned matrix_form(unsigned real_kinds, unsigned imag_kinds) { return real_kinds | (imag_kinds << 3); }
constexpr unsigned real_kinds(unsigned form) { return form & kAllEntries; }
constexpr unsigned imag_kinds(unsigned form) { return form >> 3; }
constexpr unsigned kDenseForm = matrix_form(kAllEntries, kAllEntries);

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
constexpr unsigned kKernelForms[] = {kDiagonalForm, kRealDiagonalForm, kRealForm,    kRotationForm,
                                     kRealAntiForm, kImagAntiForm,     kDenseForm};

// Targets up to which a matrix may take a structured form; wider ones are dense.
constexpr int kStructuredTargets = 2;

// The form with a kernel of its own that covers every nonzero entry of `m`
// with the fewest products. A matrix with a non-finite entry, or on more than
// kStructuredTargets targets, is dense.
unsigned kernel_form_of(const Matrix& m);

// Whether every entry `form` allows is allowed by `cover` too.
constexpr bool form_fits(unsigned form, unsigned cover) {
    return (real_kinds(form) & ~real_kinds(cover)) == 0 && (imag_kinds(form) & ~imag_kinds(cover)) == 0;
}

// The form of the reads of an adjoint step whose U has form `form`. For a
// rotation U = c I - i s G about a Pauli string G, each read matrix
// dU U^dagger is -i/2 G: U's form without its diagonal (or the diagonal form
// itself when G is diagonal). Dense stays dense.
constexpr unsigned read_form_of(unsigned form) {
    const unsigned off_diagonal = (real_kinds(form) | imag_kinds(form)) & ~unsigned(kDiagonalEntry);
    if (form == kDenseForm || off_diagonal == 0) return form;
    return matrix_form(real_kinds(form) & ~unsigned(kDiagonalEntry), imag_kinds(form) & ~unsigned(kDiagonalEntry));
}

}  // namespace wavesim
