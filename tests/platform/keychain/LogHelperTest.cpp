// The helper log: its line form, its one-step rotation (at the first writer and while running),
// and appends and rotations of two processes that never lose each other's lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <set>

#include "fakes/TestFolders.hpp"
#include "platform/keychain/KIVLogHelper.hpp"

namespace kiv::testing {
namespace {

namespace fs = std::filesystem;

using kiv::fakes::readText;

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, fs::perms(0644));
}

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
    platform::KIVLogHelper writer(log);
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
    platform::KIVLogHelper writer(log);
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
    platform::KIVLogHelper writer(log);
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
    for (std::size_t at = text.find("] child line\n"); at != std::string::npos;
         at = text.find("] child line\n", at + 1)) {
        ++child_lines;
    }
    EXPECT_EQ(child_lines, static_cast<std::size_t>(kLines));
}

TEST(LogHelperTest, RotatesWhileRunningWhenALinePassesOneMebibyte) {
    fakes::TemporaryFolder folder;
    const auto log = folder.path() / "kivHelper.log";
    writeText(log, std::string(1048576 - 10, 'x'));
    platform::KIVLogHelper writer(log);
    EXPECT_EQ(fs::file_size(log), 1048566u);
    writer.log("takes it past the limit");
    EXPECT_EQ(fs::file_size(log), 0u);
    EXPECT_NE(readText(log.string() + ".bak").find("] takes it past the limit\n"), std::string::npos);
    writer.log("next");
    EXPECT_NE(readText(log).find("] next\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(log.string() + ".new"));
}

// Two processes, each its own writer, write far more than the limit at once: the log and its
// backup stay near 1 MiB each, and what they hold of each writer is every line from some point
// on, so a rotation lost no line of either.
TEST(LogHelperTest, TwoProcessesRotateWithoutLosingLinesOrGrowing) {
    fakes::TemporaryFolder folder;
    const auto log = folder.path() / "kivHelper.log";
    platform::KIVLogHelper writer(log);
    constexpr int kLines = 15000;
    const std::string padding(80, '.');
    auto writeAll = [&](char who) {
        char text[32];
        for (int i = 0; i < kLines; ++i) {
            std::snprintf(text, sizeof text, "%c %06d ", who, i);
            writer.log(text + padding);
        }
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeAll('c');
        ::_exit(0);
    }
    writeAll('p');
    int status = 0;
    ::waitpid(child, &status, 0);
    constexpr std::uintmax_t kSlack = 4096;
    EXPECT_LE(fs::file_size(log), (1u << 20) + kSlack);
    EXPECT_LE(fs::file_size(log.string() + ".bak"), (1u << 20) + kSlack);
    EXPECT_GE(fs::file_size(log.string() + ".bak"), 1u << 20);
    EXPECT_FALSE(fs::exists(log.string() + ".new"));
    std::map<char, std::set<int>> seen;
    for (const auto& file : {log.string() + ".bak", log.string()}) {
        std::istringstream text(readText(file));
        for (std::string line; std::getline(text, line);) {
            ASSERT_EQ(line.size(), 26u + 9u + padding.size()) << line;
            seen[line[26]].insert(std::stoi(line.substr(28, 6)));
        }
    }
    for (const char who : {'c', 'p'}) {
        ASSERT_FALSE(seen[who].empty()) << who;
        EXPECT_EQ(*seen[who].rbegin(), kLines - 1) << who;
        EXPECT_EQ(static_cast<int>(seen[who].size()), *seen[who].rbegin() - *seen[who].begin() + 1) << who;
    }
}

}  // namespace
}  // namespace kiv::testing
