// Parallel filling of quantum-volume operation lists.
#include "qv_op_list.h"

#include <atomic>
#include <exception>
#include <limits>
#include <stdexcept>

#include "random_su4.h"
#include "xorshift128plus.h"

namespace brickgen {

namespace {

struct QubitSource {
    bool created;
    XorShift128Plus generator;
};

// Constant-initialised, so threads that predate the module start clear too.
// Lives as long as its thread: later calls continue the sequence. Static TLS:
// the default model for a dlopen'ed module allocates each thread's copy on
// first touch, and glibc aborts the process when that allocation fails.
__attribute__((tls_model("initial-exec"))) thread_local QubitSource tls_qubit_source{};

XorShift128Plus& qubit_generator(int seed) {
    QubitSource& source = tls_qubit_source;
    if (!source.created) {
        source.generator = make_xorshift128plus(qubit_generator_value(seed));
        source.created = true;
    }
    return source.generator;
}

void fill_record(CircuitInstruction& record, uint64_t index, uint32_t num_qubits, int seed) {
    random_su4(record_seed(seed, index), record.matrix);
    record.name = "su4";
    XorShift128Plus& g = qubit_generator(seed);
    const auto first = static_cast<int32_t>(next_output(g) % num_qubits);
    int32_t second;
    do {
        second = static_cast<int32_t>(next_output(g) % num_qubits);
    } while (second == first);
    record.controls.assign(1, first);
    record.qubits.assign(1, second);
}

// The C++ runtime keeps each thread's exception state in dynamic TLS, which
// glibc allocates on first use and aborts the process if it cannot. Touching
// it before any record is filled keeps a later out-of-memory throw survivable.
// Out of line with a volatile sink: the query is declared pure, and GCC drops
// the discarded call inside an OpenMP region otherwise.
__attribute__((noinline)) void touch_exception_state() {
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
}

// n >= 2 whenever `records` is non-empty, so the rejection draw ends.
void fill_qv_records(std::vector<CircuitInstruction>& records, int n, int seed) {
    const auto count = static_cast<int32_t>(records.size());
    const auto num_qubits = static_cast<uint32_t>(n);
    // Exceptions must not leave an OpenMP region: the first one is kept and
    // rethrown on the calling thread, and the other threads stop early.
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    // A single chunk has nothing to share: the calling thread takes it alone
    // rather than waking the team and waiting for it at the barrier.
#pragma omp parallel if (count > kRecordsPerChunk)
    {
        touch_exception_state();
#pragma omp for schedule(dynamic, kRecordsPerChunk)
        for (int32_t k = 0; k < count; ++k) {
            if (failed.load(std::memory_order_relaxed)) continue;
            try {
                fill_record(records[k], static_cast<uint64_t>(k), num_qubits, seed);
            } catch (...) {
#pragma omp critical(brickgen_fill_failure)
                if (!failure) failure = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace

int32_t qv_record_count(int n) {
    if (n < 0) throw std::invalid_argument("number of qubits must not be negative");
    const int64_t count = static_cast<int64_t>(n) * (n / 2);
    if (count > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("number of qubits too large: the list would exceed 2147483647 records");
    }
    return static_cast<int32_t>(count);
}

std::vector<CircuitInstruction> build_qv_op_list_ultra(int n, int /*unused*/, int seed) {
    std::vector<CircuitInstruction> records(static_cast<size_t>(qv_record_count(n)));
    fill_qv_records(records, n, seed);
    return records;
}

std::vector<CircuitInstruction> build_qv_op_list(int n, int unused, int seed) {
    return build_qv_op_list_ultra(n, unused, seed);
}

}  // namespace brickgen
