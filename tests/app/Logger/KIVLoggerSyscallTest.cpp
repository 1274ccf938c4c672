// What a log line costs in system calls. The test program runs itself again under strace: the
// child logs between marker calls (faccessat of a path that does not exist) with the real user
// defaults behind the level setter, and the parent counts the logging thread's calls between the
// markers. At an unchanged level a log call must make none: no defaults lock, no re-read.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "DeviceConfigurations.hpp"
#include "LoggerTestSupport.hpp"
#include "app/Logger/KIVLogger.hpp"
#include "app/Logger/LogDebugDefault.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv {
namespace {

using model::LogLevel;
using testing::configurationWithLevel;

constexpr const char* kChildVariable = "KIV_LOGGER_SYSCALL_CHILD";
constexpr const char* kMarkerFolder = "/nonexistent-kiv-syscall-marker/";
constexpr int kMeasuredCalls = 1000;

void syscallMarker(const std::string& name) {
    (void)::faccessat(AT_FDCWD, (kMarkerFolder + name).c_str(), F_OK, 0);
}

// The calls of the marking thread between "<window>-begin" and "<window>-end", by name.
std::map<std::string, int> callsInWindow(const std::string& trace, const std::string& window) {
    std::istringstream lines(trace);
    std::map<std::string, int> calls;
    std::string thread;
    std::string line;
    while (std::getline(lines, line)) {
        const std::string tid = line.substr(0, line.find(' '));
        if (line.find(kMarkerFolder + window + "-begin") != std::string::npos) {
            thread = tid;
            continue;
        }
        if (thread.empty() || tid != thread) continue;
        if (line.find(kMarkerFolder + window + "-end") != std::string::npos) return calls;
        // strace pads short thread ids with spaces.
        std::string rest = line.substr(tid.size());
        rest.erase(0, rest.find_first_not_of(' '));
        if (rest.starts_with("<... ")) continue;  // the second half of a call already counted
        ++calls[rest.substr(0, rest.find('('))];
    }
    ADD_FAILURE() << "window " << window << " not found in the trace";
    return calls;
}

std::string readTraceText(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool straceWorks() { return std::system("strace -qq -o /dev/null true >/dev/null 2>&1") == 0; }

// Runs in the traced child only.
TEST(KIVLoggerSyscallChild, LogsBetweenMarkers) {
    if (!std::getenv(kChildVariable)) GTEST_SKIP() << "the traced half of LogCallAtAnUnchangedLevel";
    // The level setter writes the real user defaults, as the application's settings store does.
    installLogDebugStore(
        [](std::optional<bool> value) {
            auto defaults = platform::UserDefaults::standard();
            if (value) {
                defaults->setBool(kLogDebugKey, *value);
            } else {
                defaults->removeObject(kLogDebugKey);
            }
        },
        nullptr);
    KIVLogger::Environment environment;
    environment.appVersion = "2.5.1";
    environment.buildVersion = "42";
    auto logger = std::make_shared<KIVLogger>(environment);

    logger->setDeviceConfigResponse(configurationWithLevel(LogLevel::diagnose));
    syscallMarker("changed-begin");
    logger->log("the level is stored", LogLevel::production);
    syscallMarker("changed-end");
    // A new configuration at the same level changes nothing.
    logger->setDeviceConfigResponse(configurationWithLevel(LogLevel::diagnose));
    // Warm the allocator, so that the measured calls find the heap grown already.
    for (int i = 0; i < 2 * kMeasuredCalls; ++i) logger->log("warming up", LogLevel::production);
    syscallMarker("unchanged-begin");
    for (int i = 0; i < kMeasuredCalls; ++i)
        logger->log("a line at an unchanged level", LogLevel::production);
    syscallMarker("unchanged-end");
    installLogDebugStore(nullptr, nullptr);
    // The queued lines are never emitted: the main loop does not turn in this process.
}

TEST(KIVLoggerSyscalls, LogCallAtAnUnchangedLevelMakesNoSystemCall) {
    if (!straceWorks()) GTEST_SKIP() << "strace cannot trace here";
    testing::TemporaryFolder folder;
    const auto trace = folder.path() / "trace";
    // LeakSanitizer cannot run under ptrace; the sanitizer builds' child leaves it out.
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    const std::string sanitizer =
        "'ASAN_OPTIONS=" + std::string(asanOptions ? asanOptions : "") + ":detect_leaks=0' ";
    const std::string command = "env " + sanitizer + kChildVariable +
                                "=1 KIV_HOME=" + folder.path().string() + " strace -f -qq -s 256 -o " +
                                trace.string() + " /proc/" + std::to_string(::getpid()) + "/exe" +
                                " --gtest_filter=KIVLoggerSyscallChild.LogsBetweenMarkers >" +
                                (folder.path() / "child.out").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readTraceText(folder.path() / "child.out");
    const std::string text = readTraceText(trace);

    // The trace sees the setter's file work when the level changes ...
    const auto changed = callsInWindow(text, "changed");
    EXPECT_TRUE(changed.count("flock") || changed.count("openat")) << "the setter's I/O was not traced";

    // ... and none when it does not. Growing the heap is the allocator's business; it is rare.
    const std::set<std::string> allocator = {"brk", "mmap", "munmap", "mremap", "madvise", "mprotect"};
    int allocatorCalls = 0;
    std::string others;
    for (const auto& [name, count] : callsInWindow(text, "unchanged")) {
        if (allocator.count(name)) {
            allocatorCalls += count;
        } else {
            others += name + " x" + std::to_string(count) + " ";
        }
    }
    EXPECT_EQ(others, "") << "system calls of " << kMeasuredCalls << " log calls at an unchanged level";
    EXPECT_LT(allocatorCalls, kMeasuredCalls / 50);
}

}  // namespace
}  // namespace kiv
