// Windows of gates that commute with every gate they pass: they share no qubit with it.
#include "wavesim/plan/locality_order.h"

#include <algorithm>

#include "wavesim/base/bits.h"

namespace wavesim {
namespace {

// Gates a window may leave behind before it closes (keeps long stretches linear).
constexpr size_t kLookahead = 256;

}  // namespace

std::vector<size_t> locality_order(const std::vector<PlanStep>& steps, size_t begin, size_t end) {
    std::vector<size_t> pending;
    for (size_t i = begin; i < end; ++i)
        if (steps[i].kind == OperationKind::kGate) pending.push_back(i);
    std::vector<size_t> order;
    order.reserve(pending.size());
    size_t from = 0;  // pending[from ...] are still to be ordered
    while (from < pending.size()) {
        uint64_t window = bit(kLocalityLowQubits) - 1;
        uint64_t blocked = 0;  // qubits of the gates left behind
        std::vector<size_t> behind;
        size_t k = from;
        // The first gate always goes (even one wider than the window); a later one when it fits and shares
        // no qubit with a gate left behind.
        order.push_back(pending[k]);
        window |= steps[pending[k++]].qubits;
        for (; k < pending.size() && behind.size() < kLookahead; ++k) {
            const uint64_t qubits = steps[pending[k]].qubits;
            if ((qubits & blocked) == 0 && popcount(window | qubits) <= kLocalityQubits) {
                window |= qubits;
                order.push_back(pending[k]);
            } else {
                behind.push_back(pending[k]);
                blocked |= qubits;
            }
        }
        // The gates left behind go back in front of the ones not yet looked at, in order.
        from = k - behind.size();
        std::copy(behind.begin(), behind.end(), pending.begin() + ptrdiff_t(from));
    }
    return order;
}

}  // namespace wavesim
