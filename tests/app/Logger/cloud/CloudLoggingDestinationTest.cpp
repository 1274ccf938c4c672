#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "app/Logger/LogFacility.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "app/Logger/cloud/CloudLoggingDestination.hpp"

namespace kiv {
namespace {

using nlohmann::json;

class CloudLogging : public ::testing::Test {
protected:
    std::vector<std::string> printed;
    StandardOutputCapture capture{[this](const std::string& line) { printed.push_back(line); }};
    CloudLoggingDestination destination{"kiv-agent"};

    json sendAndParse(LogFacilityLevel level, const std::string& message, std::optional<LogContext> context) {
        const auto text = destination.send(level, message, "worker", "/src/app/shell/AppDelegate.cpp",
                                           "main()", 42, context);
        EXPECT_TRUE(text.has_value());
        EXPECT_EQ(printed.size(), 1u);
        if (!printed.empty()) {
            EXPECT_EQ(printed.back(), *text);
        }
        printed.clear();
        return json::parse(*text);
    }
};

TEST_F(CloudLogging, EntryCarriesServiceSeverityMessageAndLocation) {
    const json entry = sendAndParse(LogFacilityLevel::info, "started", std::nullopt);
    const json expected = {
        {"serviceContext", {{"service", "kiv-agent"}}},
        {"message", "started"},
        {"severity", "INFO"},
        {"context",
         {{"reportLocation",
           {{"filePath", "/src/app/shell/AppDelegate.cpp"},
            {"lineNumber", 42},
            {"functionName", "main()"}}}}},
    };
    EXPECT_EQ(entry, expected);
}

TEST_F(CloudLogging, SeverityByLevel) {
    const std::pair<LogFacilityLevel, const char*> cases[] = {
        {LogFacilityLevel::verbose, "DEBUG"}, {LogFacilityLevel::debug, "DEBUG"},
        {LogFacilityLevel::info, "INFO"},     {LogFacilityLevel::warning, "WARNING"},
        {LogFacilityLevel::error, "ERROR"},
    };
    for (const auto& [level, severity] : cases) {
        EXPECT_EQ(sendAndParse(level, "m", std::nullopt)["severity"], severity);
    }
}

TEST_F(CloudLogging, ContextContributesOnlyASuitableHttpRequestAndUser) {
    const json request = {{"method", "GET"}, {"status", 200}, {"nested", {{"a", json::array({1, 2})}}}};
    struct Case {
        const char* name;
        std::optional<LogContext> context;
        json expectedExtra;  // members beside reportLocation
    };
    const Case cases[] = {
        {"absent", std::nullopt, json::object()},
        {"both", json{{"httpRequest", request}, {"user", "ann"}, {"other", 1}},
         json{{"httpRequest", request}, {"user", "ann"}}},
        {"user a number, request a text", json{{"httpRequest", "GET /"}, {"user", 7}}, json::object()},
        {"only user", json{{"user", ""}}, json{{"user", ""}}},
        {"not a dictionary", json::array({json{{"user", "ann"}}}), json::object()},
        {"a text", json("user"), json::object()},
        {"null request", json{{"httpRequest", nullptr}}, json::object()},
    };
    for (const Case& c : cases) {
        json context = sendAndParse(LogFacilityLevel::error, "m", c.context)["context"];
        ASSERT_TRUE(context.contains("reportLocation")) << c.name;
        context.erase("reportLocation");
        EXPECT_EQ(context, c.expectedExtra) << c.name;
    }
}

TEST_F(CloudLogging, MessageIsEscapedByTheSerialiser) {
    const std::string message = "say \"hi\" \\ path\nnext\t\x01 caf\xc3\xa9";
    EXPECT_EQ(sendAndParse(LogFacilityLevel::debug, message, std::nullopt)["message"], message);
}

// Text that is not UTF-8 cannot be serialised; the fixed fallback entry is printed
// instead, with the file path and function inserted unescaped.
TEST_F(CloudLogging, FallbackEntryIsHandBuiltByteForByte) {
    const auto text = destination.send(LogFacilityLevel::verbose, "bad \xff byte", "t", "/p/a\"b\\c.cpp",
                                       "f(\"x\")", -7, json{{"user", "ann"}});
    const std::string expected =
        "{\"context\":{\"reportLocation\":{\"filePath\": \"/p/a\"b\\c.cpp\",\"functionName\":\"f(\"x\")\","
        "\"lineNumber\":-7}},\"severity\":\"CRITICAL\",\"message\":\"Error encoding JSON log entry. "
        "You may be losing log messages!\"}";
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, expected);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], expected);
    // With plain texts the fallback is itself valid JSON.
    EXPECT_EQ(
        json::parse(CloudLoggingDestination::fallbackEntry("/a.cpp", "g()", 3)),
        (json{{"context",
               {{"reportLocation", {{"filePath", "/a.cpp"}, {"functionName", "g()"}, {"lineNumber", 3}}}}},
              {"severity", "CRITICAL"},
              {"message", "Error encoding JSON log entry. You may be losing log messages!"}}));
    // A context member that is not UTF-8 fails the same way.
    printed.clear();
    EXPECT_EQ(destination.send(LogFacilityLevel::info, "ok", "t", "/a", "g()", 1, json{{"user", "\xc3"}}),
              CloudLoggingDestination::fallbackEntry("/a", "g()", 1));
}

// Delivery is synchronous: the entry is printed before the log call returns, also when
// the owner asked for asynchronous delivery.
class CloudLoggingThroughFacade : public ::testing::TestWithParam<bool> {};

TEST_P(CloudLoggingThroughFacade, EntryIsPrintedBeforeTheCallReturns) {
    std::vector<std::string> printed;
    std::mutex mutex;
    StandardOutputCapture capture([&](const std::string& line) {
        std::lock_guard lock(mutex);
        printed.push_back(line);
    });
    auto destination = std::make_shared<CloudLoggingDestination>("svc");
    EXPECT_FALSE(destination->asynchronously);
    destination->asynchronously = GetParam();
    EXPECT_FALSE(destination->asynchronously);
    destination->asynchronously = !destination->asynchronously;
    EXPECT_FALSE(destination->asynchronously);
    EXPECT_FALSE(destination->isAsynchronous());
    destination->minLevel = LogFacilityLevel::info;
    ASSERT_TRUE(LogFacility::attach(destination));
    LogFacility::logDebug([] { return "dropped"; }, "/x/app/core/Settings.cpp", "work", 1);
    LogFacility::logError([] { return "kept"; }, "/x/app/core/Settings.cpp", "work", 2);
    std::vector<std::string> seen;
    {
        std::lock_guard lock(mutex);
        seen = printed;
    }
    LogFacility::detachAll();
    ASSERT_EQ(seen.size(), 1u);
    const json entry = json::parse(seen[0]);
    EXPECT_EQ(entry["message"], "kept");
    EXPECT_EQ(entry["severity"], "ERROR");
    EXPECT_EQ(entry["context"]["reportLocation"]["functionName"], "work()");
    EXPECT_EQ(entry["context"]["reportLocation"]["lineNumber"], 2);
}

INSTANTIATE_TEST_SUITE_P(OwnerChoice, CloudLoggingThroughFacade, ::testing::Bool());

}  // namespace
}  // namespace kiv
