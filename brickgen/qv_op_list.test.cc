#include "qv_op_list.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <utility>

#include "random_su4.h"
#include "xorshift128plus.h"

// Allocation failure injection: when armed, the allocation that brings the
// countdown to zero throws, whichever thread makes it.
namespace {
std::atomic<long> g_allocations_until_failure{0};
}

void* operator new(std::size_t size) {
    if (g_allocations_until_failure.load(std::memory_order_relaxed) > 0 &&
        g_allocations_until_failure.fetch_sub(1) == 1) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// Out of line, so the compiler does not pair the malloc above with new-expressions.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace brickgen {
namespace {

using Pair = std::pair<int32_t, int32_t>;

// Runs `body` on a new thread: its thread-local generator and its OpenMP team
// are fresh, as in a new process.
template <typename Body>
void on_fresh_thread(int team_size, Body body) {
    std::thread worker([&] {
        omp_set_num_threads(team_size);
        body();
    });
    worker.join();
}

// Independent model of the qubit draws of one thread.
std::vector<Pair> reference_pairs(XorShift128Plus& g, uint32_t n, int count) {
    std::vector<Pair> pairs;
    for (int i = 0; i < count; ++i) {
        const auto a = static_cast<int32_t>(next_output(g) % n);
        auto b = static_cast<int32_t>(next_output(g) % n);
        while (b == a) b = static_cast<int32_t>(next_output(g) % n);
        pairs.emplace_back(a, b);
    }
    return pairs;
}

std::vector<Pair> pairs_of(const std::vector<CircuitInstruction>& records, size_t begin = 0) {
    std::vector<Pair> pairs;
    for (size_t k = begin; k < records.size(); ++k)
        pairs.emplace_back(records[k].controls.at(0), records[k].qubits.at(0));
    return pairs;
}

TEST(RecordCount, SmallSizes) {
    const int32_t expected[] = {0, 0, 2, 3, 8, 10, 18};
    for (int n = 0; n < 7; ++n) EXPECT_EQ(qv_record_count(n), expected[n]) << n;
    EXPECT_EQ(qv_record_count(17), 136);
}

TEST(RecordCount, LargestAcceptedSize) { EXPECT_EQ(qv_record_count(65535), 65535 * 32767); }

TEST(RecordCount, RefusesNegativeAndOverflowingSizes) {
    for (int n : {-1, -2, -1000, INT32_MIN, 65536, 65537, INT32_MAX}) {
        EXPECT_THROW(qv_record_count(n), std::invalid_argument) << n;
        EXPECT_THROW(build_qv_op_list_ultra(n, 0, 0), std::invalid_argument) << n;
    }
}

TEST(QvOpList, TinySizesAreEmptyAndLeaveTheGeneratorUntouched) {
    on_fresh_thread(1, [] {
        EXPECT_TRUE(build_qv_op_list_ultra(0, 0, 5).empty());
        EXPECT_TRUE(build_qv_op_list_ultra(1, 0, 5).empty());
        XorShift128Plus g = make_xorshift128plus(qubit_generator_value(0));
        EXPECT_EQ(pairs_of(build_qv_op_list_ultra(4, 0, 0)), reference_pairs(g, 4, 8));
    });
}

TEST(QvOpList, FirstPairsOfAFreshThread) {
    on_fresh_thread(1, [] {
        const auto pairs = pairs_of(build_qv_op_list_ultra(4, 0, 0));
        const std::vector<Pair> expected{{1, 3}, {0, 3}, {3, 1}, {2, 3}, {2, 3}, {0, 2}};
        EXPECT_EQ(std::vector<Pair>(pairs.begin(), pairs.begin() + 6), expected);
    });
}

TEST(QvOpList, LaterCallsContinueTheThreadSequenceWhateverTheirSeed) {
    on_fresh_thread(1, [] {
        XorShift128Plus g = make_xorshift128plus(qubit_generator_value(-7));
        EXPECT_EQ(pairs_of(build_qv_op_list_ultra(5, 0, -7)), reference_pairs(g, 5, 10));
        EXPECT_EQ(pairs_of(build_qv_op_list_ultra(6, 3, 99)), reference_pairs(g, 6, 18));
        EXPECT_EQ(pairs_of(build_qv_op_list(20, 0, 1)), reference_pairs(g, 20, 200));
    });
}

TEST(QvOpList, SingleChunkListsStayOnTheCallingThreadOfATeam) {
    on_fresh_thread(2, [] {
        XorShift128Plus g = make_xorshift128plus(qubit_generator_value(4));
        EXPECT_EQ(pairs_of(build_qv_op_list_ultra(16, 0, 4)), reference_pairs(g, 16, kRecordsPerChunk));
        EXPECT_EQ(pairs_of(build_qv_op_list_ultra(16, 0, 4)), reference_pairs(g, 16, kRecordsPerChunk));
    });
}

TEST(QvOpList, RecordsHoldTheirOwnUnitaryAndDefaultFields) {
    std::vector<CircuitInstruction> records;
    on_fresh_thread(2, [&] { records = build_qv_op_list_ultra(23, 11, -5); });
    ASSERT_EQ(records.size(), 23u * 11u);
    std::vector<std::complex<double>> expected;
    for (size_t k = 0; k < records.size(); ++k) {
        const CircuitInstruction& r = records[k];
        random_su4(record_seed(-5, k), expected);
        EXPECT_EQ(r.matrix, expected) << k;
        EXPECT_EQ(r.name, "su4");
        ASSERT_EQ(r.controls.size(), 1u);
        ASSERT_EQ(r.qubits.size(), 1u);
        EXPECT_NE(r.controls[0], r.qubits[0]);
        EXPECT_TRUE(r.controls[0] >= 0 && r.controls[0] < 23 && r.qubits[0] >= 0 && r.qubits[0] < 23);
        EXPECT_TRUE(r.param.name.empty());
        EXPECT_TRUE(std::get<std::vector<double>>(r.param.value).empty());
        EXPECT_FALSE(r.has_param || r.dagger);
        EXPECT_TRUE(r.ctrl_state.empty());
    }
}

TEST(QvOpList, MatricesDoNotDependOnTheTeamSize) {
    std::vector<CircuitInstruction> one, two;
    on_fresh_thread(1, [&] { one = build_qv_op_list_ultra(40, 0, 3); });
    on_fresh_thread(2, [&] { two = build_qv_op_list_ultra(40, 0, 3); });
    ASSERT_EQ(one.size(), two.size());
    for (size_t k = 0; k < one.size(); ++k) EXPECT_EQ(one[k].matrix, two[k].matrix) << k;
}

// n = 17: chunk 0 is records 0..127, chunk 1 records 128..135. Chunk 1 either
// continues the thread that filled chunk 0 or starts a second fresh thread,
// which draws the same sequence from the start.
TEST(QvOpList, SecondChunkIsFreshOrContinued) {
    std::vector<CircuitInstruction> records;
    on_fresh_thread(2, [&] { records = build_qv_op_list_ultra(17, 0, 8); });
    XorShift128Plus g = make_xorshift128plus(qubit_generator_value(8));
    const auto first_chunk = reference_pairs(g, 17, kRecordsPerChunk);
    const auto continued = reference_pairs(g, 17, 8);
    const std::vector<Pair> fresh(first_chunk.begin(), first_chunk.begin() + 8);
    const auto all = pairs_of(records);
    EXPECT_EQ(std::vector<Pair>(all.begin(), all.begin() + kRecordsPerChunk), first_chunk);
    const auto second_chunk = pairs_of(records, kRecordsPerChunk);
    EXPECT_TRUE(second_chunk == fresh || second_chunk == continued);
}

TEST(QvOpList, AllocationFailureInsideTheTeamReachesTheCaller) {
    for (long countdown : {1L, 2L, 500L, 3000L}) {
        on_fresh_thread(2, [&] {
            g_allocations_until_failure.store(countdown);
            EXPECT_THROW(build_qv_op_list_ultra(64, 0, 1), std::bad_alloc) << countdown;
            g_allocations_until_failure.store(0);
        });
    }
    EXPECT_EQ(build_qv_op_list_ultra(64, 0, 1).size(), 64u * 32u);
}

}  // namespace
}  // namespace brickgen
