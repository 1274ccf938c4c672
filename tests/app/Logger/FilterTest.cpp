// Filters, the validator's counts and the destination's accept decision.
#include <gtest/gtest.h>

#include <functional>

#include "LoggerTestSupport.hpp"
#include "app/Logger/BaseDestination.hpp"
#include "app/Logger/FilterValidator.hpp"
#include "app/Logger/Filters.hpp"

namespace kiv {
namespace {

using L = LogFacilityLevel;

struct MatchCase {
    const char* name;
    FilterPtr filter;
    std::optional<std::string> value;
    bool expected;
};

class CompareFilterMatches : public ::testing::TestWithParam<MatchCase> {};

TEST_P(CompareFilterMatches, Table) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(c.filter->matches(c.value), c.expected);
}

using P = PathFilterFactory;

INSTANTIATE_TEST_SUITE_P(
    Comparisons, CompareFilterMatches,
    ::testing::Values(
        MatchCase{"StartsWith", P::startsWith({"/src"}), "/src/a.cpp", true},
        MatchCase{"StartsWithNot", P::startsWith({"/lib"}), "/src/a.cpp", false},
        MatchCase{"ContainsAny", P::contains({"zzz", "a.c"}), "/src/a.cpp", true},
        MatchCase{"EndsWith", P::endsWith({".cpp"}), "/src/a.cpp", true},
        MatchCase{"EndsWithLongerThanValue", P::endsWith({"/long/src/a.cpp"}), "a.cpp", false},
        MatchCase{"Equals", P::equals({"abc"}), "abc", true},
        MatchCase{"EqualsCaseSensitive", P::equals({"ABC"}, true), "abc", false},
        MatchCase{"EqualsCaseInsensitive", P::equals({"ABC"}, false), "abc", true},
        MatchCase{"UnicodeLowerCasing", P::contains({"\xC3\x84RGER"}, false), "viel \xC3\xA4rger", true},
        MatchCase{"ExcludesOneAbsent", P::excludes({"a", "q"}), "xa", true},
        MatchCase{"ExcludesAllPresent", P::excludes({"a", "x"}), "xa", false},
        MatchCase{"NoStringsContains", P::contains({}), "anything", false},
        MatchCase{"NoStringsExcludes", P::excludes({}), "anything", false},
        MatchCase{"NoStringsEquals", P::equals({}), "", false},
        MatchCase{"AbsentValue", P::contains({""}), std::nullopt, false},
        MatchCase{"EmptyStringIsContained", P::contains({""}), "x", true},
        MatchCase{"Custom", P::custom(false, L::verbose, [](const std::string& v) { return v.size() == 3; }),
                  "abc", true},
        MatchCase{"CustomRefuses", P::custom(false, L::verbose, [](const std::string&) { return false; }),
                  "abc", false}),
    [](const ::testing::TestParamInfo<MatchCase>& info) { return std::string(info.param.name); });

TEST(FilterObjects, TargetsCompareByCaseOnly) {
    const auto a = TargetType::Path(ComparisonType::make(ComparisonType::Kind::StartsWith, {"a"}, true));
    const auto b = TargetType::Path(ComparisonType::make(ComparisonType::Kind::Equals, {"b"}, false));
    const auto c = TargetType::Function(ComparisonType::make(ComparisonType::Kind::StartsWith, {"a"}, true));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
}

TEST(FilterObjects, FlagsAndLevels) {
    auto f = Filters::message::excludes({"x"}, true, true, L::warning);
    EXPECT_TRUE(f->isExcluded());
    EXPECT_TRUE(f->isRequired());
    EXPECT_EQ(f->target().kind, TargetType::Kind::Message);
    EXPECT_TRUE(f->reachesMinLevel(L::warning));
    EXPECT_TRUE(f->reachesMinLevel(L::error));
    EXPECT_FALSE(f->reachesMinLevel(L::info));
    EXPECT_FALSE(Filters::function::contains({"x"})->isExcluded());
}

TEST(FilterObjects, SelectGroupsKeepOrder) {
    auto excl = P::excludes({"a"}, true, true);
    auto req1 = P::contains({"a"}, true, true);
    auto other = P::contains({"b"});
    auto req2 = P::equals({"c"}, true, true);
    const std::vector<FilterPtr> all = {excl, req1, other, req2};
    using V = FilterValidator::ValidationType;
    EXPECT_EQ(FilterValidator::select(V::excluded, all), std::vector<FilterPtr>{excl});
    EXPECT_EQ(FilterValidator::select(V::required, all), (std::vector<FilterPtr>{req1, req2}));
    EXPECT_EQ(FilterValidator::select(V::nonRequired, all), std::vector<FilterPtr>{other});
}

TEST(FilterValidatorCounts, MessageFilterWithoutMessageCountsItsLevelOnly) {
    using V = FilterValidator::ValidationType;
    using K = FilterValidator::Result::Kind;
    const std::vector<FilterPtr> filters = {
        Filters::message::contains({"m"}, true, false, L::debug),    // no message: level only
        Filters::path::contains({"src"}, true, false, L::error),     // condition only
        Filters::function::contains({"run"}, true, false, L::info),  // both
        Filters::path::contains({"zzz"}, true, false, L::error),     // neither
    };
    auto results = FilterValidator::evaluate(filters, L::warning, "/src/a", "run()", std::nullopt);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[V::excluded].kind, K::noFiltersMatchingType);
    EXPECT_EQ(results[V::required].kind, K::noFiltersMatchingType);
    ASSERT_EQ(results[V::nonRequired].kind, K::someFiltersMatch);
    EXPECT_EQ(results[V::nonRequired].data, (FilterValidator::Result::PartialMatchData{1, 1, 1}));

    auto full = FilterValidator::evaluate({filters[2]}, L::warning, "", "run()", std::nullopt);
    EXPECT_EQ(full[V::nonRequired].kind, K::allFiltersMatch);
}

struct AcceptCase {
    const char* name;
    L minLevel;
    std::vector<FilterPtr> filters;
    L level;
    std::optional<std::string> message;
    bool expected;
};

class AcceptTable : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(AcceptTable, Decides) {
    const AcceptCase& c = GetParam();
    BaseDestination destination(testing::fixedEnvironment());
    destination.minLevel = c.minLevel;
    for (const FilterPtr& f : c.filters) destination.addFilter(f);
    EXPECT_EQ(destination.accepts(c.level, "/src/Net/a.cpp", "run(int)", c.message), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Decisions, AcceptTable,
    ::testing::Values(
        AcceptCase{"NoFiltersBelowMin", L::info, {}, L::debug, "m", false},
        AcceptCase{"NoFiltersAtMin", L::info, {}, L::info, "m", true},
        AcceptCase{"NoFiltersAboveMin", L::info, {}, L::error, "m", true},
        AcceptCase{"RequiredWithoutStringsRejectsAll",
                   L::verbose,
                   {P::contains({}, true, true)},
                   L::error,
                   "m",
                   false},
        AcceptCase{"ExclusionWithoutStringsRejectsAll", L::verbose, {P::excludes({})}, L::error, "m", false},
        AcceptCase{
            "ExclusionOneStringAbsentPasses", L::verbose, {P::excludes({"Net", "Zip"})}, L::debug, "m", true},
        AcceptCase{"ExclusionAllPresentRejects", L::verbose, {P::excludes({"Net"})}, L::error, "m", false},
        AcceptCase{"ExclusionBelowItsLevelRejects",
                   L::verbose,
                   {P::excludes({"Zip"}, true, false, L::error)},
                   L::warning,
                   "m",
                   false},
        AcceptCase{"MessageExclusionWithoutMessageRejects",
                   L::verbose,
                   {Filters::message::excludes({"x"})},
                   L::error,
                   std::nullopt,
                   false},
        AcceptCase{"RequiredMatchAdmitsBelowMin",
                   L::error,
                   {P::equals({"/SRC/NET/A.CPP"}, false, true)},
                   L::debug,
                   "m",
                   true},
        AcceptCase{"RequiredCaseSensitiveMissRejects",
                   L::verbose,
                   {P::equals({"/SRC/NET/A.CPP"}, true, true)},
                   L::error,
                   "m",
                   false},
        AcceptCase{"RequiredMessageWithoutMessageRejects",
                   L::verbose,
                   {Filters::message::contains({"m"}, true, true)},
                   L::error,
                   std::nullopt,
                   false},
        AcceptCase{"OneOfTwoRequiredRejects",
                   L::verbose,
                   {P::contains({"Net"}, true, true), Filters::function::startsWith({"stop"}, true, true)},
                   L::error,
                   "m",
                   false},
        AcceptCase{"NonRequiredNoneHoldAboveMin",
                   L::info,
                   {P::contains({"Zip"}), P::endsWith({".h"})},
                   L::error,
                   "m",
                   true},
        AcceptCase{"NonRequiredNoneHoldBelowMin",
                   L::info,
                   {P::contains({"Zip"}), P::endsWith({".h"})},
                   L::debug,
                   "m",
                   false},
        AcceptCase{"NonRequiredFullMatchAdmitsBelowMin",
                   L::error,
                   {P::contains({"Zip"}), P::contains({"Net"})},
                   L::debug,
                   "m",
                   true},
        AcceptCase{"NonRequiredConditionOnlyRejects",
                   L::verbose,
                   {P::contains({"Net"}, true, false, L::error)},
                   L::warning,
                   "m",
                   false},
        AcceptCase{"NonRequiredConditionOnlyButAnotherFullMatch",
                   L::verbose,
                   {P::contains({"Net"}, true, false, L::error), Filters::function::startsWith({"run"})},
                   L::warning,
                   "m",
                   true},
        AcceptCase{"RequiredPassesBeforeNonRequired",
                   L::verbose,
                   {P::contains({"Net"}, true, true), P::contains({"Zip"}, true, false, L::verbose)},
                   L::debug,
                   "m",
                   true},
        AcceptCase{
            "CustomMessagePredicate",
            L::error,
            {Filters::message::custom(true, L::verbose, [](const std::string& m) { return m == "ok"; })},
            L::debug,
            "ok",
            true}),
    [](const ::testing::TestParamInfo<AcceptCase>& info) { return std::string(info.param.name); });

TEST(DestinationFilters, RemoveFilterTakesThatObjectOnly) {
    BaseDestination destination(testing::fixedEnvironment());
    auto a = P::contains({"a"});
    auto b = P::contains({"a"});  // equal content, another object
    destination.addFilter(a);
    destination.addFilter(a);
    destination.removeFilter(b);
    EXPECT_EQ(destination.filters().size(), 2u);
    destination.removeFilter(a);
    EXPECT_EQ(destination.filters(), std::vector<FilterPtr>{a});
}

TEST(DestinationFilters, DebugPrintExplainsTheDecision) {
    testing::CapturedOutput output;
    BaseDestination destination(testing::fixedEnvironment());
    destination.debugPrint = true;
    destination.minLevel = L::info;
    destination.accepts(L::error, "", "", "m");
    destination.accepts(L::debug, "", "", "m");
    destination.addFilter(P::excludes({}));
    destination.accepts(L::debug, "", "", "m");
    EXPECT_EQ(output.lines(), (std::vector<std::string>{"filters are empty and level >= minLevel",
                                                        "filters are empty and level < minLevel",
                                                        "filters are not empty and message was excluded"}));
}

}  // namespace
}  // namespace kiv
