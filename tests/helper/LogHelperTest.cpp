// The helper log: its line form, its one-step rotation at the first writer, and appends of
// two processes that never overwrite each other.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fakes/TestFolders.hpp"
#include "helper/KIVLogHelper.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

struct RotationCase {
    std::uintmax_t size;
    bool rotated;
};

class LogRotationTest : public ::testing::TestWithParam<RotationCase> {};

TEST_P(LogRotationTest, MovesOnlyALogOverOneMebibyte) {
    fakes::TemporaryFolder folder;
    const auto log = folder.path() / "kivHelper.log";
    writeText(log, std::string(GetParam().size, 'x'));
    writeText(log.string() + ".bak", "older");
    helper::KIVLogHelper writer(log);
    EXPECT_EQ(fs::file_size(log), GetParam().rotated ? 0 : GetParam().size);
    EXPECT_EQ(fs::file_size(log.string() + ".bak"), GetParam().rotated ? GetParam().size : 5);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogRotationTest,
                         ::testing::Values(RotationCase{0, false}, RotationCase{1048575, false},
                                           RotationCase{1048576, false}, RotationCase{1048577, true},
                                           RotationCase{3 << 20, true}));

TEST(LogHelperTest, WritesOneLinePerMessageAndCreatesOnlyAtStart) {
    fakes::TemporaryFolder folder;
    const auto log = folder.path() / "kivHelper.log";
    helper::KIVLogHelper writer(log);
    const std::string message = "Downloading file from: http://x\n[2026-01-01 00:00:00.000] forged\r";
    writer.log(message);
    const std::string text = readText(log);
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.size(), std::string("[2026-01-01 00:00:00.000] ").size() + message.size() + 1) << text;
    EXPECT_EQ(text[0], '[');
    EXPECT_EQ(text.substr(24, 2), "] ");
    fs::remove(log);
    writer.log("lost");
    EXPECT_FALSE(fs::exists(log));
}

TEST(LogHelperTest, TwoProcessesAppendWithoutLosingLines) {
    fakes::TemporaryFolder folder;
    const auto log = folder.path() / "kivHelper.log";
    helper::KIVLogHelper writer(log);
    constexpr int kLines = 2000;
    // glibc keeps malloc usable in the child of a threaded process; the child only formats and writes.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0; i < kLines; ++i) writer.log("child line");
        ::_exit(0);
    }
    for (int i = 0; i < kLines; ++i) writer.log("parent line");
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string text = readText(log);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * kLines);
    std::size_t child_lines = 0;
    for (std::size_t at = text.find("] child line\n"); at != std::string::npos; at = text.find("] child line\n", at + 1)) {
        ++child_lines;
    }
    EXPECT_EQ(child_lines, static_cast<std::size_t>(kLines));
}

}  // namespace
}  // namespace kiv::testing
