#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "model/JSONCoder.hpp"
#include "model/LogLevel.hpp"
#include "model/UITrayIconDisplayType.hpp"

namespace model {
namespace {

TEST(LogLevel, RawValuesAreExact) {
    EXPECT_EQ(logLevelFromRawValue("none"), LogLevel::none);
    EXPECT_EQ(logLevelFromRawValue("warning"), LogLevel::warning);
    EXPECT_EQ(logLevelFromRawValue("production"), LogLevel::production);
    EXPECT_EQ(logLevelFromRawValue("diagnose"), LogLevel::diagnose);
    for (const char* text : {"None", "WARNING", " none", "none ", "", "diag", "none\n"}) {
        EXPECT_FALSE(logLevelFromRawValue(text)) << '"' << text << '"';
    }
    EXPECT_EQ(rawValue(LogLevel::production), "production");
}

TEST(LogLevel, OrderIsTheCaseOrder) {
    EXPECT_TRUE(LogLevel::warning <= LogLevel::production);
    EXPECT_FALSE(LogLevel::production <= LogLevel::warning);
    EXPECT_TRUE(LogLevel::diagnose <= LogLevel::diagnose);
    for (LogLevel level : {LogLevel::none, LogLevel::warning, LogLevel::production, LogLevel::diagnose}) {
        EXPECT_TRUE(LogLevel::none <= level);
        EXPECT_EQ(LogLevel::diagnose <= level, level == LogLevel::diagnose);
    }
}

TEST(LogLevel, JSONIsTheRawValueText) {
    EXPECT_EQ(*JSONEncoder{}.encode(LogLevel::none), "\"none\"");
    EXPECT_EQ(*JSONDecoder{}.decode<LogLevel>("\"diagnose\""), LogLevel::diagnose);
    auto capital = JSONDecoder{}.decode<LogLevel>("\"Diagnose\"");
    ASSERT_FALSE(capital);
    EXPECT_EQ(capital.error().kind(), CodingError::Kind::dataCorrupted);
    auto number = JSONDecoder{}.decode<LogLevel>("3");
    ASSERT_FALSE(number);
    EXPECT_EQ(number.error().kind(), CodingError::Kind::typeMismatch);
}

TEST(UITrayIconDisplayType, DefaultTypeIsWrittenAsDefault) {
    EXPECT_EQ(trayIconDisplayTypeFromRawValue("balloon"), UITrayIconDisplayType::balloon);
    EXPECT_EQ(trayIconDisplayTypeFromRawValue("hidden"), UITrayIconDisplayType::hidden);
    EXPECT_EQ(trayIconDisplayTypeFromRawValue("tooltip"), UITrayIconDisplayType::tooltip);
    EXPECT_EQ(trayIconDisplayTypeFromRawValue("default"), UITrayIconDisplayType::defaultType);
    EXPECT_FALSE(trayIconDisplayTypeFromRawValue("defaultType"));
    EXPECT_EQ(*JSONEncoder{}.encode(UITrayIconDisplayType::defaultType), "\"default\"");
    EXPECT_EQ(*JSONDecoder{}.decode<UITrayIconDisplayType>("\"default\""),
              UITrayIconDisplayType::defaultType);
}

TEST(Enumerations, HashAsTheirRawValues) {
    std::unordered_set<LogLevel> levels{LogLevel::none, LogLevel::warning, LogLevel::none};
    EXPECT_EQ(levels.size(), 2u);
    EXPECT_EQ(std::hash<LogLevel>{}(LogLevel::warning), std::hash<std::string_view>{}("warning"));
    EXPECT_EQ(std::hash<UITrayIconDisplayType>{}(UITrayIconDisplayType::defaultType),
              std::hash<std::string_view>{}("default"));
}

}  // namespace
}  // namespace model
