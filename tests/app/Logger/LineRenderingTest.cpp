// Line rendering of a destination with a fixed clock (2024-03-05 14:07:09.123 UTC) and the
// destination's zone fixed to New York (09:07:09.123 local).
#include <gtest/gtest.h>
#include <unicode/regex.h>

#include <nlohmann/json.hpp>

#include "LoggerTestSupport.hpp"
#include "app/Logger/BaseDestination.hpp"

namespace kiv {
namespace {

using testing::fixedEnvironment;

struct RenderCase {
    const char* name;
    std::string format;
    LogFacilityLevel level;
    std::string message;
    std::optional<LogContext> context;
    std::string expected;
};

class LineRendering : public ::testing::TestWithParam<RenderCase> {};

TEST_P(LineRendering, RendersTheFormat) {
    const RenderCase& c = GetParam();
    BaseDestination destination(fixedEnvironment());
    destination.format = c.format;
    EXPECT_EQ(destination.renderLine(c.level, c.message, "worker", "/x/Main.src", "main()", 12, c.context),
              c.expected);
}

const auto V = LogFacilityLevel::verbose;
const auto D = LogFacilityLevel::debug;

INSTANTIATE_TEST_SUITE_P(
    Formats, LineRendering,
    ::testing::Values(
        RenderCase{"DefaultFormat",
                   BaseDestination::kDefaultFormat,
                   D,
                   "hello",
                   {},
                   "09:07:09.123 DEBUG Main.main():12 - hello"},
        RenderCase{
            "ConsoleFormat", "$DHH:mm:ss$d $L $M", V, "1.2 (3) :  m", {}, "09:07:09 VERBOSE 1.2 (3) :  m"},
        RenderCase{"FileFormat",
                   "$Dyyyy-MM-dd HH:mm:ss.SSS$d $C$L$c: $M",
                   V,
                   "1.2 (3) :  m",
                   {},
                   "2024-03-05 09:07:09.123 VERBOSE: 1.2 (3) :  m"},
        RenderCase{"NoTokens", "plain text \t ", V, "m", {}, "plain text"},
        RenderCase{"UnknownToken", "$Q rest $M", V, "m", {}, "Q rest m"},
        RenderCase{"UnknownTokenKeepsPadding", "$12Q|", V, "m", {}, "12Q|"},
        RenderCase{"MinusWithoutDigitsIsTheToken", "$-M", V, "m", {}, "-M"},
        RenderCase{"PaddingAloneIsLiteral", "$M $12", V, "m", {}, "m 12"},
        RenderCase{"EmptyPiece", "$$M", V, "m", {}, "m"},
        RenderCase{"MessageTrailingWhiteSpace", "$M", V, "hello \t\n\r ", {}, "hello"},
        RenderCase{"InnerSpacesKept", "$L   $M", D, "a  b", {}, "DEBUG   a  b"},
        RenderCase{"PaddingNarrowerThanValue", "$5L|", D, "m", {}, "DEBUG|"},
        RenderCase{"PaddingRightAligns", "$7L|", D, "m", {}, "  DEBUG|"},
        RenderCase{"PaddingLeftAligns", "$-7L|", D, "m", {}, "DEBUG  |"},
        RenderCase{"LeftPaddingAtEndIsTrimmed", "$-7L", D, "m", {}, "DEBUG"},
        RenderCase{"LongValueKeptWhole", "$2M|", V, "message", {}, "message|"},
        RenderCase{"PaddingCountsGraphemes", "$3M|", V, "e\xCC\x81", {}, "  e\xCC\x81|"},
        RenderCase{"PaddingCountsFlagsAsOne",
                   "$-3M|",
                   V,
                   "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",
                   {},
                   "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA  |"},
        RenderCase{"ThreadFileFunctionLine", "$T $n $N $F $l", V, "m", {}, "worker Main.src Main main() 12"},
        RenderCase{"PaddedLine", "[$4l]", V, "m", {}, "[  12]"},
        RenderCase{"StickyUTC", "$DHH$d $ZHH$z $DHH$d", V, "m", {}, "09 14 14"},
        RenderCase{"UTCToken", "$Zyyyy-MM-dd'T'HH:mm:ss.SSS$z", V, "m", {}, "2024-03-05T14:07:09.123"},
        RenderCase{"PaddedDate", "$8DHH$d|", V, "m", {}, "      09|"},
        RenderCase{"ContextObject", "$M $X", V, "m", LogContext{{"a", 1}}, "m {\"a\":1}"},
        RenderCase{"ContextTextTrimmed", "[$X]", V, "m", LogContext("  hi \n"), "[hi]"},
        RenderCase{"ContextAbsent", "[$X]", V, "m", std::nullopt, "[]"},
        RenderCase{"ColourTokensEmptyByDefault", "$C$L$c", V, "m", {}, "VERBOSE"}),
    [](const ::testing::TestParamInfo<RenderCase>& info) { return std::string(info.param.name); });

TEST(LineRenderingDetails, UptimeCountsFromConstruction) {
    auto clock = testing::fixedClock();
    BaseDestination destination(fixedEnvironment(clock));
    destination.format = "$U";
    EXPECT_EQ(destination.renderLine(V, "m", "", "", "", 0, {}), "00:00:00.000");
    clock->advance(std::chrono::milliseconds(3725500));
    EXPECT_EQ(destination.uptime(), "01:02:05.500");
    clock->advance(std::chrono::hours(100));
    EXPECT_EQ(destination.uptime(), "101:02:05.500");
}

TEST(LineRenderingDetails, UnknownZoneFallsBackToTheDefaultZone) {
    BaseDestination destination(fixedEnvironment());
    EXPECT_EQ(destination.formatDate("HH", "NO-SUCH-ZONE"), "09");
    EXPECT_EQ(destination.formatDate("HH", "UTC"), "14");
    EXPECT_EQ(destination.formatDate("HH", ""), "14");  // the zone set last stays
}

TEST(LineRenderingDetails, ColoursAndEscapeSurroundTheLevel) {
    BaseDestination destination(fixedEnvironment());
    destination.format = "$C$L$c $M";
    destination.escape = "<";
    destination.reset = ">";
    destination.levelColor.error = "red:";
    EXPECT_EQ(destination.renderLine(LogFacilityLevel::error, "m", "", "", "", 0, {}), "<red:ERROR> m");
}

TEST(LineRenderingDetails, TrailingWhiteSpaceMatchesTheRegularExpression) {
    // The trim is written by hand; ICU's "\s+$" is the reference it must agree with.
    UErrorCode status = U_ZERO_ERROR;
    icu::RegexMatcher matcher(icu::UnicodeString("\\s+$"), 0, status);
    ASSERT_TRUE(U_SUCCESS(status));
    const std::vector<std::string> endings = {
        " ",        "\t",           "\n",           "\r\n",         "\x0B", "\x0C",
        "\xC2\xA0", "\xE2\x80\xA8", "\xE3\x80\x80", "\xE2\x80\x8B", "x",    " \n \t"};
    BaseDestination destination(fixedEnvironment());
    destination.format = "$M";
    for (const std::string& ending : endings) {
        const std::string message = "text" + ending;
        icu::UnicodeString input = icu::UnicodeString::fromUTF8(message);
        matcher.reset(input);
        std::string expected;
        matcher.replaceAll(icu::UnicodeString(), status).toUTF8String(expected);
        ASSERT_TRUE(U_SUCCESS(status));
        EXPECT_EQ(destination.renderLine(V, message, "", "", "", 0, {}), expected) << "ending " << ending;
    }
}

TEST(LineRenderingDetails, FileNames) {
    EXPECT_EQ(BaseDestination::fileNameOfFile("/a/b/Main.src.cpp"), "Main.src.cpp");
    EXPECT_EQ(BaseDestination::fileNameWithoutSuffix("/a/b/Main.src.cpp"), "Main");
    EXPECT_EQ(BaseDestination::fileNameOfFile(""), "");
    EXPECT_EQ(BaseDestination::fileNameWithoutSuffix(""), "");
    EXPECT_EQ(BaseDestination::fileNameOfFile("/a/b/"), "");
    EXPECT_EQ(BaseDestination::fileNameWithoutSuffix(".hidden"), "");
}

TEST(LineRenderingDetails, ParsePadding) {
    using P = std::pair<int, std::size_t>;
    EXPECT_EQ(BaseDestination::parsePadding("12L"), P(12, 2));
    EXPECT_EQ(BaseDestination::parsePadding("-7L"), P(-7, 2));
    EXPECT_EQ(BaseDestination::parsePadding("-M"), P(0, 0));
    EXPECT_EQ(BaseDestination::parsePadding("M"), P(0, 0));
    EXPECT_EQ(BaseDestination::parsePadding(""), P(0, 0));
    EXPECT_EQ(BaseDestination::parsePadding("99999999999999999999M"), P(0, 0));  // does not convert
}

TEST(LineRenderingDetails, PaddedStringTruncation) {
    EXPECT_EQ(BaseDestination::paddedString("abcdef", 3, true), "def");
    EXPECT_EQ(BaseDestination::paddedString("abcdef", -3, true), "abc");
    EXPECT_EQ(BaseDestination::paddedString("abcdef", 3, false), "abcdef");
    EXPECT_EQ(BaseDestination::paddedString("ab", 0, true), "ab");
    EXPECT_EQ(BaseDestination::paddedString("e\xCC\x81xyz", -2, true), "e\xCC\x81x");
}

TEST(JsonEntry, CarriesTheCallAndContextWhenPresent) {
    BaseDestination destination(fixedEnvironment());
    destination.format = "$J";
    auto text = destination.send(LogFacilityLevel::warning, "hello", "t", "/x/a.cpp", "f()", 7,
                                 LogContext{{"k", "v"}});
    ASSERT_TRUE(text);
    const auto entry = nlohmann::json::parse(*text);
    EXPECT_DOUBLE_EQ(entry["timestamp"].get<double>(), 1709647629.123);
    EXPECT_EQ(entry["level"], 3);
    EXPECT_EQ(entry["message"], "hello");
    EXPECT_EQ(entry["thread"], "t");
    EXPECT_EQ(entry["file"], "/x/a.cpp");
    EXPECT_EQ(entry["function"], "f()");
    EXPECT_EQ(entry["line"], 7);
    EXPECT_EQ(entry["context"]["k"], "v");

    auto noContext = nlohmann::json::parse(*destination.send(LogFacilityLevel::info, "x", "", "", "", 0, {}));
    EXPECT_FALSE(noContext.contains("context"));
}

TEST(JsonEntry, UnserialisableEntryIsReportedAndDropped) {
    testing::CapturedOutput output;
    BaseDestination destination(fixedEnvironment());
    destination.format = "$J";
    EXPECT_FALSE(destination.send(LogFacilityLevel::info, "bad \xFF byte", "", "", "", 0, {}));
    EXPECT_EQ(output.lines(), std::vector<std::string>{"LogFacility could not create JSON from dict."});
}

TEST(JsonEntry, OnlyALeadingJSelectsJson) {
    BaseDestination destination(fixedEnvironment());
    destination.format = "x $J";
    EXPECT_EQ(destination.send(LogFacilityLevel::info, "m", "", "", "", 0, {}), "x J");
}

}  // namespace
}  // namespace kiv
