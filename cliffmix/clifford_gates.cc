// Lookup, messages and instruction mapping of the Clifford gate list.
#include "clifford_gates.h"

namespace cliffmix {
namespace {

constexpr std::string_view kSupportedSuffix = "'. Supported: cx, cz, cy, swap, x, y, z, s, sdg, h";
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDeleteByte = 0x7f;
constexpr uint32_t kMaxCodePoint = 0x10ffff;
constexpr uint32_t kSurrogateFirst = 0xd800;
constexpr uint32_t kSurrogateLast = 0xdfff;

// A UTF-8 lead byte: (byte & mask) == pattern starts a sequence of `length`
// bytes whose code point must be at least `smallest` (shorter forms are overlong).
struct Utf8Lead {
    unsigned char mask;
    unsigned char pattern;
    size_t length;
    uint32_t smallest;
};
constexpr std::array<Utf8Lead, 4> kUtf8Leads{{
    {0x80, 0x00, 1, 0x0},
    {0xe0, 0xc0, 2, 0x80},
    {0xf0, 0xe0, 3, 0x800},
    {0xf8, 0xf0, 4, 0x10000},
}};
constexpr unsigned char kContinuationMask = 0xc0;
constexpr unsigned char kContinuationPattern = 0x80;
constexpr int kContinuationBits = 6;

// Strict UTF-8 as Python decodes it: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_strict_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const Utf8Lead* form = nullptr;
        for (const auto& candidate : kUtf8Leads) {
            if ((lead & candidate.mask) == candidate.pattern) {
                form = &candidate;
                break;
            }
        }
        if (form == nullptr || text.size() - i < form->length) return false;
        uint32_t code_point = lead & static_cast<unsigned char>(~form->mask);
        for (size_t k = 1; k < form->length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & kContinuationMask) != kContinuationPattern) return false;
            code_point = (code_point << kContinuationBits) | (next & static_cast<unsigned char>(~kContinuationMask));
        }
        if (code_point < form->smallest || code_point > kMaxCodePoint ||
            (code_point >= kSurrogateFirst && code_point <= kSurrogateLast)) {
            return false;
        }
        i += form->length;
    }
    return true;
}

bool has_control_byte(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < kFirstPrintable || byte == kDeleteByte) return true;
    }
    return false;
}

// Every byte outside printable ASCII as \xHH.
std::string escape_bytes(std::string_view text) {
    constexpr std::string_view kHexDigits = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= kFirstPrintable && byte < kDeleteByte) {
            out += c;
        } else {
            out += "\\x";
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0xf];
        }
    }
    return out;
}

}  // namespace

const CliffordGate* find_clifford_gate(std::string_view name) {
    for (const auto& gate : kCliffordGateList) {
        if (gate.name == name) return &gate;
    }
    return nullptr;
}

std::string unsupported_gate_message(std::string_view name) {
    std::string message = "Unsupported gate '";
    if (is_strict_utf8(name) && !has_control_byte(name)) {
        message += name;
    } else {
        message += escape_bytes(name);
    }
    message += kSupportedSuffix;
    return message;
}

CircuitInstruction make_clifford_instruction(const CliffordGate& gate, const int32_t* indices, size_t count) {
    CircuitInstruction instruction;
    instruction.name = gate.record_name;
    switch (gate.layout) {
        case QubitLayout::kSwap: instruction.qubits.assign(indices, indices + count); break;
        case QubitLayout::kControlled:
            instruction.controls = {indices[0]};
            instruction.qubits = {indices[1]};
            break;
        case QubitLayout::kSingle: instruction.qubits = {indices[0]}; break;
    }
    return instruction;
}

}  // namespace cliffmix
