// Finding other copies of this program among real processes: this test program run again is one,
// a different program is not, and this process never is.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/RunningApplications.hpp"
#include "tests/platform/PlatformTestSupport.hpp"

namespace platform {
namespace {

constexpr const char* kWaitVariable = "KIV_TEST_WAIT_FOR_INPUT";

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// Run as a child by the tests below: stays until its input ends.
TEST(RunningApplicationsChild, WaitsForItsInput) {
    if (std::getenv(kWaitVariable) == nullptr) GTEST_SKIP() << "only as a child of the tests below";
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
}

testing::Child waitingCopyOfThisProgram() {
    return testing::Child::self("RunningApplicationsChild.WaitsForItsInput",
                                {std::string(kWaitVariable) + "=1"});
}

TEST(RunningApplications, FindsACopyOfThisProgramButNotOtherProgramsOrItself) {
    testing::Child copy = waitingCopyOfThisProgram();
    testing::Child other("/bin/cat", {});
    const auto found = otherInstancesOfThisProgram();
    EXPECT_TRUE(contains(found, copy.pid()));
    EXPECT_FALSE(contains(found, other.pid()));
    EXPECT_FALSE(contains(found, ::getpid()));
    EXPECT_TRUE(std::is_sorted(found.begin(), found.end()));
    const pid_t gone = copy.pid();
    copy.wait();
    EXPECT_FALSE(contains(otherInstancesOfThisProgram(), gone));
}

TEST(RunningApplications, TerminateSendsTheQuitSignal) {
    testing::Child copy = waitingCopyOfThisProgram();
    ASSERT_TRUE(terminateProcess(copy.pid()));
    const int status = copy.wait();  // the signal is already pending: it wins over the end of input
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    // Never "every process" (kill(-1)) or "my process group" (kill(0)).
    for (pid_t pid : {0, -1}) EXPECT_FALSE(terminateProcess(pid)) << pid;
}

}  // namespace
}  // namespace platform
