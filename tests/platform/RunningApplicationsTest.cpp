// Finding other copies of this program among real processes: this test program run again is one,
// a different program is not, and this process never is. Copies of other users are asked to quit
// by root alone.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>

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

// A program started as another user that stays until its input ends: forked, given the user's
// ids, then run, its output to /dev/null. The constructor returns once the program runs (the
// exec closed the report pipe). Destroying it closes its input and reaps it.
class ChildAs {
public:
    ChildAs(uid_t uid, const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string> environment) {
        int in[2], report[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only calls that are safe after fork in a threaded program.
            int error = 0;
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null < 0 || ::dup2(in[0], 0) < 0 || ::dup2(null, 1) < 0 || ::setgroups(0, nullptr) != 0 ||
                ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
                error = errno;
            } else {
                ::execve(program.c_str(), argv.data(), envp.data());
                error = errno;
            }
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(report[1]);
        int error = 0;
        const bool failed = pid_ > 0 && ::read(report[0], &error, sizeof error) == ssize_t(sizeof error);
        ::close(report[0]);
        input_ = in[1];
        if (pid_ < 0 || failed) {
            wait();
            throw std::runtime_error("cannot run " + program + " as " + std::to_string(uid) + ": " +
                                     std::strerror(error));
        }
    }
    ChildAs(const ChildAs&) = delete;
    ChildAs& operator=(const ChildAs&) = delete;
    ~ChildAs() { (void)wait(); }

    pid_t pid() const { return pid_; }

    // Closes its input and returns its wait status; -1 once it has been reaped.
    int wait() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
        int status = -1;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

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
    namespace fs = std::filesystem;
    fs::permissions(folder.path(), fs::perms(0755));
    const fs::path program = folder.path() / "kiv-copies" / "brannockcloud";
    const fs::path lookAlike = folder.path() / "kiv-look-alike" / "brannockcloud";
    for (const auto& file : {program, lookAlike}) {
        fs::create_directory(file.parent_path());
        fs::permissions(file.parent_path(), fs::perms(0755));
    }
    fs::copy_file("/proc/self/exe", program);
    fs::copy_file("/bin/cat", lookAlike);
    const std::string path = program.string();
    const std::vector<std::string> waitEnvironment{std::string(kWaitVariable) + "=1"};

    std::vector<std::unique_ptr<ChildAs>> copies;
    std::vector<uid_t> users{0, 65534, 65533};
    for (uid_t uid : users) {
        copies.push_back(std::make_unique<ChildAs>(
            uid, path,
            std::vector<std::string>{path, "--gtest_filter=RunningApplicationsChild.WaitsForItsInput"},
            waitEnvironment));
    }
    ChildAs other(65534, lookAlike.string(), {path}, {});

    kiv::fakes::Process asker({path, "--gtest_filter=RunningApplicationsChild.TerminatesTheOthers"},
                              {std::string(kTerminateVariable) + "=1"},
                              (folder.path() / "asker.err").string(),
                              {.inheritEnvironment = false, .runAs = c.asker});
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
    // The signal is pending before the input ends, and wins; the others end with their input.
    for (std::size_t i = 0; i < users.size(); ++i) {
        const bool askedToQuit = expected.count(copies[i]->pid()) != 0;
        const int status = copies[i]->wait();
        if (askedToQuit) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << users[i] << ": " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << users[i] << ": " << status;
        }
    }
    const int lookAlikeStatus = other.wait();
    EXPECT_TRUE(WIFEXITED(lookAlikeStatus) && WEXITSTATUS(lookAlikeStatus) == 0) << lookAlikeStatus;
}

INSTANTIATE_TEST_SUITE_P(Askers, RunningApplicationsUsers,
                         ::testing::Values(TerminateCase{"root", 0}, TerminateCase{"nobody", 65534},
                                           TerminateCase{"a_user_without_copies", 65532},
                                           TerminateCase{"another_user", 65533}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform
