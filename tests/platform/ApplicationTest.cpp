// The application object's start and quit: launching comes before the main-queue work that was
// queued ahead of run() (what the delegate's members post from their creation on), and nothing
// run() leaves queued refers to its frame once it has returned, also when a quit was asked for
// before the application ran.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Application.hpp"
#include "platform/Dispatch.hpp"

namespace platform {
namespace applicationtest {

// Records what happened, in order; any thread.
class Journal {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class RecordingDelegate final : public ApplicationDelegate {
public:
    RecordingDelegate(Application& application, std::shared_ptr<Journal> journal, bool quitAtLaunch)
        : application_(application), journal_(std::move(journal)), quitAtLaunch_(quitAtLaunch) {}

    void applicationDidFinishLaunching() override {
        journal_->add("launched as " + currentQueueLabel());
        if (quitAtLaunch_) application_.terminate();
    }
    TerminateReply applicationShouldTerminate() override {
        journal_->add("should terminate");
        return TerminateReply::terminateNow;
    }
    void applicationWillTerminate() override { journal_->add("will terminate"); }

private:
    Application& application_;
    std::shared_ptr<Journal> journal_;
    bool quitAtLaunch_;
};

void drainMainQueue() {
    while (runMainLoopOnce(std::chrono::milliseconds(0))) {
    }
}

struct StartCase {
    const char* name;
    bool terminateBeforeRun;  // a quit asked for before the application runs
    bool quitAtLaunch;        // the delegate quits from its launching
    std::vector<std::string> expected;
};

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class ApplicationStartTest : public ::testing::TestWithParam<StartCase> {
protected:
    void TearDown() override { drainMainQueue(); }
};

TEST_P(ApplicationStartTest, LaunchingComesFirstAndRunLeavesNothingBehind) {
    const auto& c = GetParam();
    drainMainQueue();
    auto journal = std::make_shared<Journal>();
    Application application;
    application.setDelegate(std::make_shared<RecordingDelegate>(application, journal, c.quitAtLaunch));
    // Work of the delegate's members, queued before the application runs.
    mainQueue()->async([journal] { journal->add("queued before run"); });
    if (c.terminateBeforeRun) application.terminate();
    EXPECT_EQ(application.run(), 0);
    EXPECT_TRUE(application.hasTerminated());
    // What main() does after run(): everything still queued runs, and must not reach into run()'s
    // frame (the sanitizer builds see it when it does).
    drainMainQueue();
    mainQueue()->async([journal] { journal->add("queued after run"); });
    drainMainQueue();
    EXPECT_EQ(journal->lines(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, ApplicationStartTest,
    ::testing::Values(StartCase{"QuitFromLaunching",
                                false,
                                true,
                                {"launched as com.apple.main-thread", "queued before run", "should terminate",
                                 "will terminate", "queued after run"}},
                      StartCase{"QuitAskedBeforeRunning",
                                true,
                                false,
                                {"launched as com.apple.main-thread", "queued before run", "should terminate",
                                 "will terminate", "queued after run"}},
                      StartCase{"TwoQuitsTheSecondIgnored",
                                true,
                                true,
                                {"launched as com.apple.main-thread", "queued before run", "should terminate",
                                 "will terminate", "queued after run"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A second run() of an application that has ended tells no delegate anything and returns at once.
TEST(ApplicationRunTest, RunAfterTheEndReturnsAtOnce) {
    drainMainQueue();
    auto journal = std::make_shared<Journal>();
    Application application;
    application.setDelegate(std::make_shared<RecordingDelegate>(application, journal, true));
    ASSERT_EQ(application.run(), 0);
    drainMainQueue();
    const auto before = journal->lines();
    EXPECT_EQ(application.run(), 0);
    drainMainQueue();
    EXPECT_EQ(journal->lines(), before);
}

}  // namespace applicationtest
}  // namespace platform
