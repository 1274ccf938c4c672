// Finding other copies of this program among real processes: this test program run again is one,
// a different program is not, and this process never is. Copies of other users are asked to quit
// by root alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>

#include "fakes/Process.hpp"
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

constexpr const char* kTerminateVariable = "KIV_TEST_TERMINATE_OTHERS";

// Run as a child by the table below: asks the other copies to quit and prints the ids asked.
TEST(RunningApplicationsChild, TerminatesTheOthers) {
    if (std::getenv(kTerminateVariable) == nullptr) GTEST_SKIP() << "only as a child of the tests below";
    for (pid_t pid : terminateOtherInstancesOfThisProgram()) std::cout << "asked " << pid << "\n";
}

// Run as a child by the table below: stays until a signal ends it.
TEST(RunningApplicationsChild, WaitsForASignal) {
    if (std::getenv(kWaitVariable) == nullptr) GTEST_SKIP() << "only as a child of the tests below";
    for (;;) ::pause();
}

namespace fs = std::filesystem;

// `arguments` run as `uid` with `environment` alone; returned once the process runs `program`.
std::unique_ptr<kiv::fakes::Process> startAs(uid_t uid, const fs::path& program,
                                             const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& environment,
                                             const fs::path& errors) {
    auto process = std::make_unique<kiv::fakes::Process>(arguments, environment, errors.string(),
                                                         kiv::fakes::Process::Options{false, uid});
    const std::string executable = "/proc/" + std::to_string(process->pid()) + "/exe";
    std::error_code error;
    while (!fs::equivalent(executable, program, error)) {
        if (process->wait(std::chrono::milliseconds(0)))
            throw std::runtime_error("cannot run " + program.string() + " as " + std::to_string(uid));
        std::this_thread::yield();
    }
    return process;
}

// Who asks the copies to quit, and whose copies are asked (every user's for root).
struct TerminateCase {
    const char* name;
    uid_t asker;
};

class RunningApplicationsUsers : public ::testing::TestWithParam<TerminateCase> {};

// Copies of this program of three users wait, with a look-alike of another user (another
// program under the same file name, started with a copy's path as its name); each asker is a
// copy too. The copies run a copy of this test program, so that no other test's process (the
// same program, run in parallel) counts as one.
TEST_P(RunningApplicationsUsers, RootAsksEveryUsersCopiesAUserOnlyItsOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "starting processes of other users takes root";
    const TerminateCase& c = GetParam();
    testing::TemporaryFolder folder;
    fs::permissions(folder.path(), fs::perms(0755));
    const fs::path program = folder.path() / "kiv-copies" / "brannockcloud";
    const fs::path lookAlike = folder.path() / "kiv-look-alike" / "brannockcloud";
    for (const auto& file : {program, lookAlike}) {
        fs::create_directory(file.parent_path());
        fs::permissions(file.parent_path(), fs::perms(0755));
    }
    fs::copy_file("/proc/self/exe", program);
    fs::copy_file("/bin/sleep", lookAlike);
    const std::string path = program.string();
    const fs::path errors = folder.path() / "children.err";

    std::vector<std::unique_ptr<kiv::fakes::Process>> copies;
    const std::vector<uid_t> users{0, 65534, 65533};
    for (uid_t uid : users) {
        copies.push_back(startAs(uid, program,
                                 {path, "--gtest_filter=RunningApplicationsChild.WaitsForASignal"},
                                 {std::string(kWaitVariable) + "=1"}, errors));
    }
    const auto other = startAs(
        65534, lookAlike, {"/bin/bash", "-c", "exec -a \"$0\" \"$1\" infinity", path, lookAlike}, {}, errors);

    kiv::fakes::Process asker({path, "--gtest_filter=RunningApplicationsChild.TerminatesTheOthers"},
                              {std::string(kTerminateVariable) + "=1"}, errors.string(), {false, c.asker});
    std::string output;
    while (const auto line = asker.readLine()) output += *line + "\n";
    EXPECT_EQ(asker.wait(std::chrono::seconds(10)), 0) << output;

    std::set<pid_t> expected;
    for (std::size_t i = 0; i < users.size(); ++i) {
        if (c.asker == 0 || users[i] == c.asker) expected.insert(copies[i]->pid());
    }
    std::set<pid_t> asked;
    for (std::size_t at = output.find("asked "); at != std::string::npos; at = output.find("asked ", at + 1))
        asked.insert(static_cast<pid_t>(std::stol(output.substr(at + 6))));
    EXPECT_EQ(asked, expected) << output;
    // The others are ended by the highest signal, which a process takes last of all pending: any
    // signal the asker sent them, before it ended, ends them instead.
    const auto endedBy = [](kiv::fakes::Process& process, bool asked) {
        if (!asked) process.signal(SIGRTMAX);
        const auto status = process.wait(std::chrono::seconds(10));
        return status && WIFSIGNALED(*status) ? WTERMSIG(*status) : -1;
    };
    for (std::size_t i = 0; i < users.size(); ++i) {
        const bool askedToQuit = expected.count(copies[i]->pid()) != 0;
        EXPECT_EQ(endedBy(*copies[i], askedToQuit), askedToQuit ? SIGINT : SIGRTMAX) << users[i];
    }
    EXPECT_EQ(endedBy(*other, false), SIGRTMAX);
}

INSTANTIATE_TEST_SUITE_P(Askers, RunningApplicationsUsers,
                         ::testing::Values(TerminateCase{"root", 0}, TerminateCase{"nobody", 65534},
                                           TerminateCase{"a_user_without_copies", 65532},
                                           TerminateCase{"another_user", 65533}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform
