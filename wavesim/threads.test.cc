// The thread rule: serial up to 14 qubits, every hardware thread above.
#include "threads.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

int expected_hardware_threads() {
    const int reported = static_cast<int>(std::thread::hardware_concurrency());
    return reported < 2 ? 1 : reported;
}

TEST(ThreadRuleTest, SmallStatesStaySerial) {
    for (int n : {-1000, -1, 0, 1, 10, 14}) EXPECT_EQ(thread_count_for(n), 1) << n;
}

TEST(ThreadRuleTest, LargeStatesUseEveryHardwareThread) {
    EXPECT_EQ(hardware_threads, static_cast<int>(std::thread::hardware_concurrency()));
    for (int n : {15, 16, 30, 62, 1000}) EXPECT_EQ(thread_count_for(n), expected_hardware_threads()) << n;
}

TEST(ThreadCountGuardTest, PutsBackTheCallersCountOnReturnAndOnThrow) {
    omp_set_num_threads(3);
    {
        const ThreadCountGuard guard;
        omp_set_num_threads(thread_count_for(4));
    }
    EXPECT_EQ(omp_get_max_threads(), 3);
    try {
        const ThreadCountGuard guard;
        omp_set_num_threads(1);
        throw std::runtime_error("refused");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(omp_get_max_threads(), 3);
}

}  // namespace
