// The thread rule against facts from outside it: the operating system's count
// of online processors, and the 16384-amplitude boundary between serial and
// parallel regions; the team value; cache sizes read as the kernel lists them.
#include "wavesim/base/threads.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// A team runs its work once per thread, each thread with its own number, or on
// the calling thread alone; the runtime's count, the caller's, stays as it was.
TEST(ThreadTeamTest, RunsOncePerThreadAndLeavesTheCallersCount) {
    omp_set_num_threads(3);
    for (int threads : {1, 2, 4}) {
        std::vector<int> runs(size_t(threads), 0);
        int team_size = 0;
        on_team(ThreadTeam{threads}, [&](int thread, int size) {
            ++runs[size_t(thread)];  // each thread its own slot
#pragma omp single
            team_size = size;
        });
        EXPECT_EQ(team_size, threads);
        EXPECT_EQ(runs, std::vector<int>(size_t(threads), 1)) << threads;
        EXPECT_EQ(omp_get_max_threads(), 3);
    }
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

// A listing laid out as the kernel's: the highest level with a size wins,
// whatever the order of the entries; no listing gives 0.
TEST(CacheSizeTest, TakesTheHighestListedLevel) {
    char dir_template[] = "/tmp/wavesim_cache_XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    const auto entry = [&](int index, const char* level, const char* size) {
        const std::string path = dir + "/index" + std::to_string(index);
        mkdir(path.c_str(), 0700);
        std::ofstream(path + "/level") << level << "\n";
        if (size != nullptr) std::ofstream(path + "/size") << size << "\n";
    };
    EXPECT_EQ(listed_last_level_cache(dir), 0u);
    entry(0, "1", "32K");
    entry(1, "3", "32768K");
    entry(2, "2", "1024K");
    entry(3, "4", nullptr);  // a level without a size does not count
    EXPECT_EQ(listed_last_level_cache(dir), uint64_t{32} << 20);
    std::system(("rm -r " + dir).c_str());
}

}  // namespace
}  // namespace wavesim
