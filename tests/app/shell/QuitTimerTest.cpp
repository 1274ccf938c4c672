// The installer road's 3-second quit runs on the process clock: driven by a ManualClock, the
// application stays up until the clock has moved 3 s past the installer step, however long that
// takes in real time. The scenario runs in a child copy of this program as an ordinary user, since
// a root run takes the other road and quits at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Logger/StandardOutput.hpp"
#include "app/shell/AppDelegate.hpp"
#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Application.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kChildVariable = "KIV_QUIT_TIMER_CHILD";
constexpr uid_t kNobody = 65534;

class Lines {
public:
    Lines()
        : capture_([this](const std::string& line) {
              std::lock_guard lock(mutex_);
              lines_.push_back(line);
          }) {}
    bool contains(const std::string& text) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    kiv::StandardOutputCapture capture_;
};

// Turns the main loop until `done` holds, for at most `limit` of real time.
template <class Predicate>
bool turnUntil(Predicate done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        platform::runMainLoopOnce(20ms);
    }
    return true;
}

void runScenario() {
    auto clock = std::make_shared<platform::ManualClock>();
    platform::setProcessClock(clock);
    Lines lines;
    platform::Application application;
    auto delegate = std::make_shared<kiv::AppDelegate>(
        application,
        std::vector<std::string>{"brannockcloud", "RPC_URL=https://127.0.0.1:1/base", "INSTALL_KEY=key-1"});
    application.setDelegate(delegate);
    delegate->startApplication();

    ASSERT_TRUE(turnUntil([&] { return lines.contains("Saved as default::"); }));
    // The step's completion reaches the main queue right after its log line; the timer is armed
    // once the main queue has had nothing to do for a whole second.
    while (platform::runMainLoopOnce(1000ms)) {
    }
    clock->advance(2999ms);
    while (platform::runMainLoopOnce(50ms)) {
    }
    EXPECT_FALSE(lines.contains("quitting"));
    EXPECT_FALSE(application.hasTerminated());

    clock->advance(1ms);
    ASSERT_TRUE(turnUntil([&] { return application.hasTerminated(); }));
    EXPECT_TRUE(lines.contains("quitting"));
    EXPECT_TRUE(lines.contains("applicationWillTerminate"));
}

TEST(QuitTimerTest, InstallerRoadQuitsThreeSecondsOfTheProcessClockAfterTheInstallerStep) {
    if (std::getenv(kChildVariable)) {
        runScenario();
        return;
    }
    kiv::fakes::TemporaryFolder folder("kiv-quit-timer");
    kiv::fakes::Process::Options options;
    options.inheritEnvironment = false;
    if (::geteuid() == 0) {
        options.runAs = kNobody;
        ASSERT_EQ(::chown(folder.path().c_str(), kNobody, kNobody), 0);
    }
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    kiv::fakes::Process child(
        {self, "--gtest_filter=QuitTimerTest.*"},
        {std::string(kChildVariable) + "=1", "PATH=/usr/bin:/bin", "PWD=/home/alice",
         "KIV_HOME=" + folder.path().string(), "KIV_TMP_DIR=" + folder.path().string(),
         "KIV_DNSPROXY_PREFERENCES=" + (folder.path() / "preferences.json").string(),
         "KIV_ROOT=" + folder.path().string(), "KIV_RUN_DIR=" + folder.path().string(),
         "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (folder.path() / "no-system-bus").string(),
         "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder.path() / "no-session-bus").string()},
        (folder.path() / "stderr.txt").string(), options);
    std::string output;
    while (auto line = child.readLine(30s)) output += *line + "\n";
    const auto status = child.wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
