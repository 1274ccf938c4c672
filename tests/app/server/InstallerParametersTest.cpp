// The installer's KEY=value arguments: the parser, the validators and what ends up in the
// settings.
#include <gtest/gtest.h>

#include "app/server/CommmonValidator.hpp"
#include "app/server/InstallerHelper.hpp"
#include "app/server/ServerTestSupport.hpp"

namespace kiv::testing {
namespace {

struct Check {
    std::string text;
    bool valid;
};

TEST(CommmonValidator, URLs) {
    const std::vector<Check> cases{
        {"https://kiv.example.com", true},
        {"https://kiv.example.com/api/v1/", true},
        {"http://192.0.2.1:8443", true},
        {"https://192.0.2.1:84430", false},     // five-digit port
        {"https://127.0.0.1:45089/kiv", true},  // ... unless the unescaped dots take it as a host
        {"https://Kiv.example.com", false},     // no case-insensitive flag
        {"https://kiv.example.com/Api", false},
        {"kiv.example.com", false},    // no "://"
        {"://kiv.example.com", true},  // the scheme is optional
        {"ftp://kiv.example.com", false},
        {"https://kiv.example.com\n", true},  // "$" also before a final line feed (search)
        {"https://kiv.example.com\nx", false},
        {"https://kiv example.com", true},  // ... even a space
        {"", false},
    };
    for (const auto& [text, valid] : cases) EXPECT_EQ(CommmonValidator::isValidURL(text), valid) << text;
}

TEST(CommmonValidator, AHostileURLEndsTheSearch) {
    // Nested quantifiers over a long near-miss: refused, not left backtracking.
    EXPECT_FALSE(CommmonValidator::isValidURL("https://" + std::string(5000, 'a') + "!"));
}

TEST(CommmonValidator, IPv4AndEmailMatchTheWholeText) {
    const std::vector<Check> addresses{{"10.0.0.255", true},  {"256.1.1.1", false}, {"1.2.3", false},
                                       {"1.2.3.4 ", false},   {"01.2.3.4", true},   {"1.2.3.4\n", false},
                                       {"199.250.0.9", true}, {"a.b.c.d", false}};
    for (const auto& [text, valid] : addresses) EXPECT_EQ(CommmonValidator::isValidIPv4(text), valid) << text;
    const std::vector<Check> emails{{"alice@example.com", true},    {"a.b+c@mail.example.org", true},
                                    {"alice@example", false},       {"alice@example.c", false},
                                    {"x alice@example.com", false}, {"alice@example.com\n", false}};
    for (const auto& [text, valid] : emails) EXPECT_EQ(CommmonValidator::isValidEmail(text), valid) << text;
}

TEST(InstallerArguments, ParsesOnlyExactKeysWithOneEqualsSign) {
    const auto parsed = InstallerArguments::parse({"/usr/bin/brannockcloud", "RPC_URL=https://192.0.2.1/x=1",
                                                   "rpc_url=https://a.example.com", "INSTALL_KEY=first",
                                                   "INSTALL_KEY=second", "LOCATION_NAME=", "NOPE=1", "STOP"});
    const std::map<XNCServerInfoSection, std::string> expected{{XNCServerInfoSection::installKey, "second"},
                                                               {XNCServerInfoSection::locationName, ""}};
    EXPECT_EQ(parsed, expected);
}

using Expected = std::map<std::string, std::optional<std::string>>;

struct ValidationCase {
    std::string name;
    std::vector<std::string> arguments;
    bool valid;
    Expected settings;  // nullopt: not stored
    std::string line;   // printed or logged
};

class ValidateAndSaveTest : public ServerTest, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidateAndSaveTest, StoresWhatTheInstallerGave) {
    CapturedOutput output;
    auto helper = std::make_shared<InstallerHelper>(hold(settings_), hold<KIVLogger>(logger_),
                                                    Injected<DeviceConfigManager>(), hold(publisher_));
    helper->saveInstallerDict = InstallerArguments::parse(GetParam().arguments);
    EXPECT_EQ(helper->validateAndSave(), GetParam().valid);
    for (const auto& [key, value] : GetParam().settings) {
        EXPECT_EQ(settings_->userDefaults()->stringForKey(key), value) << key;
    }
    if (!GetParam().line.empty()) {
        bool seen = logged(GetParam().line);
        for (const auto& line : output.lines()) seen = seen || line == GetParam().line;
        EXPECT_TRUE(seen) << GetParam().line;
    }
    EXPECT_EQ(logged("failed to validate a required setting: bailing"), !GetParam().valid);
}

const std::string kURL = "RPC_URL=https://kiv.example.com";

INSTANTIATE_TEST_SUITE_P(
    Installer, ValidateAndSaveTest,
    ::testing::Values(
        ValidationCase{"url_with_two_equals_is_ignored",
                       {"RPC_URL=https://192.0.2.1/x=1", "INSTALL_KEY=k"},
                       false,
                       {{"RPC_URL", std::nullopt}, {"INSTALL_KEY", std::nullopt}},
                       "Missing value for RPC_URL. Please provide a URL in the command line"},
        ValidationCase{"stop_alone_succeeds",
                       {"STOP=TRUE"},
                       true,
                       {{"STOP", "TRUE"}, {"TRAY_TYPE", std::nullopt}, {"RPC_URL", std::nullopt}},
                       ""},
        ValidationCase{"reset_without_url_succeeds",
                       {"RESET=true"},
                       true,
                       {{"RESET", "true"}, {"SHOW_TEST_MENU", std::nullopt}},
                       ""},
        ValidationCase{"upper_case_host_fails",
                       {"RPC_URL=https://KIV.example.com", "INSTALL_KEY=k"},
                       false,
                       {{"RPC_URL", std::nullopt}},
                       " RPC_URL value \"https://KIV.example.com\" is invalid, please check again"},
        ValidationCase{"defaults_are_stored",
                       {kURL, "INSTALL_KEY=k"},
                       true,
                       {{"RPC_URL", "https://kiv.example.com"},
                        {"INSTALL_KEY", "k"},
                        {"TRAY_TYPE", "1"},
                        {"SHOW_TEST_MENU", "TRUE"},
                        {"LOCATION_NAME", ""},
                        {"DEVICE_NAME", std::nullopt}},
                       ""},
        ValidationCase{"install_key_wins_over_device_key",
                       {kURL, "INSTALL_KEY=k", "DEVICE_KEY=d"},
                       true,
                       {{"INSTALL_KEY", "k"}, {"DEVICE_KEY", std::nullopt}},
                       ""},
        ValidationCase{"device_key_alone_passes",
                       {kURL, "DEVICE_KEY=d"},
                       true,
                       {{"INSTALL_KEY", std::nullopt}, {"DEVICE_KEY", "d"}},
                       "Missing install Key"},
        ValidationCase{"no_key_fails", {kURL}, false, {{"TRAY_TYPE", std::nullopt}}, "Missing install Key"},
        ValidationCase{"prefixed_device_name",
                       {kURL, "INSTALL_KEY=k", "DEVICE_NAME=mac", "DEVICE_NAME_PREFIX=lab"},
                       true,
                       {{"DEVICE_NAME", "lab-mac"}, {"DEVICE_NAME_PREFIX", std::nullopt}},
                       ""},
        ValidationCase{"prefix_alone_stores_nothing",
                       {kURL, "INSTALL_KEY=k", "DEVICE_NAME_PREFIX=lab"},
                       true,
                       {{"DEVICE_NAME", std::nullopt}},
                       ""},
        ValidationCase{"bad_email_is_skipped",
                       {kURL, "INSTALL_KEY=k", "CUSTOMER_EMAIL=alice@example"},
                       true,
                       {{"CUSTOMER_EMAIL", std::nullopt}},
                       " Email is in invalid format, please try again"},
        ValidationCase{"optional_values_are_stored_as_given",
                       {kURL, "INSTALL_KEY=k", "CUSTOMER_EMAIL=alice@example.com", "ALLOW_WEAK_KEY=true",
                        "IGNORE_VPNS=corp", "DOWNLOAD_CERT=true", "RPC_PORT=9443", "TRAY_TYPE=3",
                        "EXTERNAL_IP=192.0.2.9"},
                       true,
                       {{"CUSTOMER_EMAIL", "alice@example.com"},
                        {"ALLOW_WEAK_KEY", "true"},
                        {"IGNORE_VPNS", "corp"},
                        {"DOWNLOAD_CERT", "true"},
                        {"RPC_PORT", "9443"},
                        {"TRAY_TYPE", "3"},
                        {"EXTERNAL_IP", std::nullopt}},
                       ""}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kiv::testing
