// The file destination: appending, folder creation, colours, failures and the default file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "LoggerTestSupport.hpp"
#include "app/Logger/FileDestination.hpp"

namespace kiv {
namespace {

using L = LogFacilityLevel;
using testing::readFile;

TEST(FileDestination, CreatesTheFolderAndAppendsLines) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "a" / "b" / "KIV.log";
    FileDestination destination(file, testing::fixedEnvironment());
    EXPECT_EQ(destination.defaultHashValue(), 2);
    destination.format = "$L $M";
    EXPECT_EQ(destination.send(L::info, "one", "", "", "", 0, {}), "INFO one");
    EXPECT_EQ(readFile(file), "INFO one\n");
}

TEST(FileDestination, AppendsAfterExistingTextInOrder) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "KIV.log";
    { std::ofstream(file) << "earlier"; }
    FileDestination destination(file, testing::fixedEnvironment());
    EXPECT_TRUE(destination.appendLine("first"));
    EXPECT_TRUE(destination.appendLine("second"));
    EXPECT_EQ(readFile(file), "earlierfirst\nsecond\n");
}

TEST(FileDestination, RecreatesAFileRemovedBetweenLines) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "logs" / "KIV.log";
    FileDestination destination(file, testing::fixedEnvironment());
    destination.syncAfterEachWrite = true;
    EXPECT_TRUE(destination.appendLine("a"));
    std::filesystem::remove_all(temp.path() / "logs");
    EXPECT_TRUE(destination.appendLine("b"));
    EXPECT_EQ(readFile(file), "b\n");
}

TEST(FileDestination, ColoursOnlyWhenColored) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "KIV.log";
    FileDestination destination(file, testing::fixedEnvironment());
    destination.format = "$C$L$c: $M";
    destination.send(L::error, "plain", "", "", "", 0, {});
    destination.setColored(true);
    destination.send(L::error, "coloured", "", "", "", 0, {});
    destination.setColored(false);
    destination.send(L::error, "plain again", "", "", "", 0, {});
    EXPECT_EQ(readFile(file), "ERROR: plain\n\x1b[38;5;197mERROR\x1b[0m: coloured\nERROR: plain again\n");
}

TEST(FileDestination, NoFileWritesNothing) {
    testing::CapturedOutput output;
    FileDestination destination(std::filesystem::path("/unused"), testing::fixedEnvironment());
    destination.logFileURL.reset();
    EXPECT_FALSE(destination.appendLine("x"));
    EXPECT_EQ(destination.send(L::info, "m", "", "", "", 0, {}),
              destination.renderLine(L::info, "m", "", "", "", 0, {}));
    EXPECT_TRUE(destination.removeLogFile());
    EXPECT_TRUE(output.lines().empty());
}

TEST(FileDestination, FolderThatCannotBeMadeIsReported) {
    testing::CapturedOutput output;
    testing::TemporaryFolder temp;
    { std::ofstream(temp.path() / "plain") << "x"; }
    const auto file = temp.path() / "plain" / "sub" / "KIV.log";
    FileDestination destination(file, testing::fixedEnvironment());
    EXPECT_FALSE(destination.appendLine("x"));
    EXPECT_EQ(output.lines(),
              std::vector<std::string>{"LogFacility File Destination could not write to file " +
                                       FileDestination::urlDescription(file) + "."});
    // send() goes on regardless and returns its text.
    destination.format = "$M";
    EXPECT_EQ(destination.send(L::info, "m", "", "", "", 0, {}), "m");
}

TEST(FileDestination, FailedWriteIsAFailure) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    testing::CapturedOutput output;
    FileDestination destination(std::filesystem::path("/dev/full"), testing::fixedEnvironment());
    EXPECT_FALSE(destination.appendLine("this line does not fit"));
    EXPECT_EQ(output.lines(), std::vector<std::string>{
                                  "LogFacility File Destination could not write to file file:///dev/full."});
}

TEST(FileDestination, RemoveLogFile) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "KIV.log";
    FileDestination destination(file, testing::fixedEnvironment());
    EXPECT_TRUE(destination.removeLogFile());  // never written
    destination.appendLine("x");
    EXPECT_TRUE(destination.removeLogFile());
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST(FileDestination, WritersOfOneFileNeverSplitALine) {
    testing::TemporaryFolder temp;
    const auto file = temp.path() / "KIV.log";
    auto a = std::make_shared<FileDestination>(file, testing::fixedEnvironment());
    auto b = std::make_shared<FileDestination>(file, testing::fixedEnvironment());
    const std::string longA(3000, 'a');
    const std::string longB(3000, 'b');
    std::thread ta([&] {
        for (int i = 0; i < 200; ++i) a->appendLine(longA);
    });
    std::thread tb([&] {
        for (int i = 0; i < 200; ++i) b->appendLine(longB);
    });
    ta.join();
    tb.join();
    std::istringstream lines(readFile(file));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line == longA || line == longB);
    }
    EXPECT_EQ(count, 400);
}

TEST(FileDestination, UrlDescription) {
    EXPECT_EQ(FileDestination::urlDescription("/a b/K%.log"), "file:///a%20b/K%25.log");
}

TEST(FileDestinationDefault, LogsIntoTheExecutablesCachesFolder) {
    testing::TemporaryFolder temp;
    testing::ScopedEnvironment home("KIV_HOME", temp.path().string());
    FileDestination destination(std::nullopt, testing::fixedEnvironment());
    const auto folder = temp.path() / ".cache" / program_invocation_short_name;
    EXPECT_EQ(destination.logFileURL, folder / "logfacility.log");
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST(FileDestinationDefault, FolderThatCannotBeMadeFallsBackToTheCaches) {
    testing::CapturedOutput output;
    testing::TemporaryFolder temp;
    std::filesystem::create_directories(temp.path() / ".cache");
    { std::ofstream(temp.path() / ".cache" / program_invocation_short_name) << "in the way"; }
    testing::ScopedEnvironment home("KIV_HOME", temp.path().string());
    FileDestination destination(std::nullopt, testing::fixedEnvironment());
    EXPECT_EQ(destination.logFileURL, temp.path() / ".cache" / "logfacility.log");
    EXPECT_EQ(output.lines(),
              std::vector<std::string>{std::string("Warning! Could not create folder /Library/Caches/") +
                                       program_invocation_short_name});
}

}  // namespace
}  // namespace kiv
