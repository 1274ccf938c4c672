// The console destination: colour sets, standard output and the system log.
#include <gtest/gtest.h>

#include "LoggerTestSupport.hpp"
#include "app/Logger/ConsoleDestination.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {
namespace {

using L = LogFacilityLevel;

TEST(ConsoleDestination, StartsWithEmojiColoursAndBaseFormat) {
    ConsoleDestination console(testing::fixedEnvironment());
    EXPECT_EQ(console.format, BaseDestination::kDefaultFormat);
    EXPECT_EQ(console.defaultHashValue(), 1);
    EXPECT_EQ(console.colorForLevel(L::verbose), "\xF0\x9F\x92\x9C ");
    EXPECT_EQ(console.colorForLevel(L::debug), "\xF0\x9F\x92\x9A ");
    EXPECT_EQ(console.colorForLevel(L::info), "\xF0\x9F\x92\x99 ");
    EXPECT_EQ(console.colorForLevel(L::warning), "\xF0\x9F\x92\x9B ");
    EXPECT_EQ(console.colorForLevel(L::error), "\xE2\x9D\xA4\xEF\xB8\x8F ");
    EXPECT_EQ(console.escape, "");
    EXPECT_EQ(console.reset, "");
}

TEST(ConsoleDestination, TerminalColoursAndBackKeepTheReset) {
    ConsoleDestination console(testing::fixedEnvironment());
    console.format = "$C$L$c";
    console.setUseTerminalColors(true);
    EXPECT_EQ(console.renderLine(L::error, "m", "", "", "", 0, {}), "\x1b[38;5;197mERROR\x1b[0m");
    console.setUseTerminalColors(false);
    EXPECT_EQ(console.colorForLevel(L::error), "\xE2\x9D\xA4\xEF\xB8\x8F ");
    EXPECT_EQ(console.reset, "\x1b[0m");
    EXPECT_EQ(console.renderLine(L::debug, "m", "", "", "", 0, {}),
              "\x1b[38;5;\xF0\x9F\x92\x9A DEBUG\x1b[0m");
}

TEST(ConsoleDestination, PrintsOnStandardOutput) {
    testing::CapturedOutput output;
    ConsoleDestination console(testing::fixedEnvironment());
    console.format = "$L $M";
    EXPECT_EQ(console.send(L::info, "hello  ", "", "", "", 0, {}), "INFO hello");
    EXPECT_EQ(output.lines(), std::vector<std::string>{"INFO hello"});
}

TEST(ConsoleDestination, SystemLogTakesTheTextAsIs) {
    std::vector<platform::LogRecord> records;
    platform::LogCapture capture([&](const platform::LogRecord& r) { records.push_back(r); });
    testing::CapturedOutput output;
    ConsoleDestination console(testing::fixedEnvironment());
    console.useNSLog = true;
    console.format = "$M";
    console.send(L::info, "100% %@ %s %n", "", "", "", 0, {});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, "100% %@ %s %n");
    EXPECT_TRUE(output.lines().empty());
}

}  // namespace
}  // namespace kiv
