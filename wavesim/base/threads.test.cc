// The thread rule against facts from outside it: the operating system's count
// of online processors, and the 16384-amplitude boundary between serial and
// parallel regions; cache sizes read as the kernel lists them.
#include "wavesim/base/threads.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <stdexcept>

namespace wavesim {
namespace {

// The processors the system has online, asked of the system itself.
int online_processors() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

TEST(ThreadRuleTest, HardwareThreadsAreTheOnlineProcessors) {
    ASSERT_GT(online_processors(), 0);
    EXPECT_EQ(kHardwareThreads, online_processors());
}

TEST(ThreadRuleTest, StatesOfAtMost16384AmplitudesStaySerial) {
    for (int n : {-2147483647 - 1, -1000, -1, 0, 1, 10, 13, 14}) EXPECT_EQ(thread_count_for(n), 1) << n;
}

// The first state past the serial limit, 2^15 amplitudes, and every larger one
// get all processors, at least one.
TEST(ThreadRuleTest, LargerStatesUseEveryProcessor) {
    const int processors = online_processors();
    for (int n : {15, 16, 30, 62, 1000, 2147483647}) {
        EXPECT_EQ(thread_count_for(n), processors) << n;
    }
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

TEST(CacheSizeTest, ReadsTheKernelsUnits) {
    EXPECT_EQ(parse_cache_size("32768K"), uint64_t{32} << 20);
    EXPECT_EQ(parse_cache_size("1024K\n"), uint64_t{1} << 20);
    EXPECT_EQ(parse_cache_size("8M"), uint64_t{8} << 20);
    EXPECT_EQ(parse_cache_size("1G"), uint64_t{1} << 30);
    EXPECT_EQ(parse_cache_size("512"), 512u);
    EXPECT_EQ(parse_cache_size(""), 0u);
    EXPECT_EQ(parse_cache_size("K"), 0u);
}

// Whatever the machine lists, the probe gives a size (the fallback at worst) and the same one every time.
TEST(CacheSizeTest, LastLevelCacheIsKnownAndStable) {
    EXPECT_GT(last_level_cache_bytes(), 0u);
    EXPECT_EQ(last_level_cache_bytes(), last_level_cache_bytes());
}

}  // namespace
}  // namespace wavesim
