// Setting one key of config.ini: where the line goes, which lines are replaced, and which
// inputs are refused.
#include <gtest/gtest.h>

#include "fakes/TestFolders.hpp"
#include "helper/KIVConfigHelper.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

using helper::KIVConfigHelper;
using ConfigOutcome = KIVConfigHelper::Outcome;

struct IniCase {
    std::string name;
    std::string before;
    std::string section;
    std::string key;
    std::string value;
    ConfigOutcome outcome;
    std::string after;  // ignored unless replaced or inserted
};

class ConfigIniTest : public ::testing::TestWithParam<IniCase> {};

TEST_P(ConfigIniTest, UpdatesOnlyWhatItShould) {
    const auto& c = GetParam();
    std::string content = c.before;
    EXPECT_EQ(KIVConfigHelper::updatedContent(content, c.section, c.key, c.value), c.outcome);
    const bool changed = c.outcome == ConfigOutcome::replaced || c.outcome == ConfigOutcome::inserted;
    EXPECT_EQ(content, changed ? c.after : c.before);
}

const std::string kApp = "ApplicationSettings";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigIniTest,
    ::testing::Values(
        IniCase{"RewritesInPlace", "[ApplicationSettings]\nA=1\nLogDebug=false\nB=2\n", kApp, "LogDebug",
                "true", ConfigOutcome::replaced, "[ApplicationSettings]\nA=1\nLogDebug=true\nB=2\n"},
        IniCase{"InsertsAfterHeader", "[XNCServerInfoSection]\nX=1\n[ApplicationSettings]\nA=1\n", kApp,
                "TrayType", "3", ConfigOutcome::inserted,
                "[XNCServerInfoSection]\nX=1\n[ApplicationSettings]\nTrayType=3\nA=1\n"},
        // A value that is not all word characters is not a key line: a new first line goes in.
        IniCase{"ValueWithBlank", "[ApplicationSettings]\nLogDebug=false \n", kApp, "LogDebug", "true",
                ConfigOutcome::inserted, "[ApplicationSettings]\nLogDebug=true\nLogDebug=false \n"},
        IniCase{"ValueWithDot", "[ApplicationSettings]\nTrayType=1.5\n", kApp, "TrayType", "2",
                ConfigOutcome::inserted, "[ApplicationSettings]\nTrayType=2\nTrayType=1.5\n"},
        IniCase{"OtherCaseOnly", "[ApplicationSettings]\nlogdebug=false\n", kApp, "LogDebug", "true",
                ConfigOutcome::inserted, "[ApplicationSettings]\nLogDebug=true\nlogdebug=false\n"},
        // With the exact key present, every letter case of it is replaced, in every section.
        IniCase{"EveryCaseOnceExactExists", "[ApplicationSettings]\nLogDebug=false\n[Other]\nLOGDEBUG=x\n",
                kApp, "LogDebug", "true", ConfigOutcome::replaced,
                "[ApplicationSettings]\nLogDebug=true\n[Other]\nLogDebug=true\n"},
        IniCase{"TwoSections", "[ApplicationSettings]\nTrayType=1\n[Other]\nTrayType=0\n", kApp, "TrayType",
                "2", ConfigOutcome::replaced, "[ApplicationSettings]\nTrayType=2\n[Other]\nTrayType=2\n"},
        IniCase{"LastLineWithoutNewline", "[ApplicationSettings]\nLogDebug=false", kApp, "LogDebug", "true",
                ConfigOutcome::inserted, "[ApplicationSettings]\nLogDebug=true\nLogDebug=false"},
        // Only at the start of a line: a longer key or a value ending in the key is not it.
        IniCase{"AnchoredAtLineStart", "[ApplicationSettings]\nMyLogDebug=false\nX=LogDebug=1\n", kApp,
                "LogDebug", "true", ConfigOutcome::inserted,
                "[ApplicationSettings]\nLogDebug=true\nMyLogDebug=false\nX=LogDebug=1\n"},
        IniCase{"HeaderInsideALine", "X=[ApplicationSettings]\n", kApp, "LogDebug", "true",
                ConfigOutcome::noSection, ""},
        IniCase{"NoSection", "[Other]\nA=1\n", kApp, "LogDebug", "true", ConfigOutcome::noSection, ""},
        IniCase{"UnicodeWordValue", "[XNCServerInfoSection]\nLocationKey=ключ\n", "XNCServerInfoSection",
                "LocationKey", "abc", ConfigOutcome::replaced, "[XNCServerInfoSection]\nLocationKey=abc\n"},
        // Nothing of a value may reach the file as a line or a pattern of its own.
        IniCase{"NewlineInValue", "[ApplicationSettings]\n", kApp, "LogDebug", "true\n[Evil]",
                ConfigOutcome::badInput, ""},
        IniCase{"PatternInValue", "[ApplicationSettings]\n", kApp, "LogDebug", "$0\\1.*",
                ConfigOutcome::badInput, ""},
        IniCase{"PatternInKey", "[ApplicationSettings]\nLogDebug=1\n", kApp, "Log.*", "1",
                ConfigOutcome::badInput, ""},
        IniCase{"EmptyValue", "[ApplicationSettings]\n", kApp, "LogDebug", "", ConfigOutcome::badInput, ""}),
    [](const auto& info) { return info.param.name; });

TEST(ConfigIniFileTest, MissingEmptyOrSectionlessFilesAreLeftAlone) {
    fakes::TemporaryFolder folder;
    const auto file = folder.path() / "config.ini";
    platform::KIVLogHelper log(folder.path() / "kivHelper.log");
    KIVConfigHelper config(file, log);
    EXPECT_FALSE(config.updateConfigFileSection("ApplicationSettings", "LogDebug", "true"));
    writeText(file, "");
    EXPECT_FALSE(config.updateConfigFileSection("ApplicationSettings", "LogDebug", "true"));
    writeText(file, "[Other]\n");
    EXPECT_FALSE(config.updateConfigFileSection("ApplicationSettings", "LogDebug", "true"));
    EXPECT_EQ(readText(file), "[Other]\n");
    writeText(file, "[ApplicationSettings]\n");
    EXPECT_TRUE(config.updateConfigFileSection("ApplicationSettings", "LogDebug", "true"));
    EXPECT_EQ(readText(file), "[ApplicationSettings]\nLogDebug=true\n");
    const std::string text = readText(folder.path() / "kivHelper.log");
    EXPECT_NE(text.find("Error reading file at"), std::string::npos);
    EXPECT_NE(text.find("Unable to find file section: ApplicationSettings"), std::string::npos);
    EXPECT_NE(text.find("LogDebug updated successfully"), std::string::npos);
}

}  // namespace
}  // namespace kiv::testing
