// The KEY=VALUE parameter-file parser: which lines count, what is stored and what is printed.
#include <gtest/gtest.h>

#include <map>

#include "app/core/CoreTestSupport.hpp"
#include "app/core/ParameterParser.hpp"
#include "app/core/XNCServerInfoSection.hpp"

namespace kiv {
namespace {

struct ParseCase {
    const char* name;
    std::string text;
    std::map<std::string, std::string> saved;
    std::string printed;
};
void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

std::string saving(const std::string& value, const std::string& caseName) {
    return "getValuesFromInstaller:  saving value " + value + " for key " + caseName + "\n";
}

TEST(ServerInfoSectionTest, KeysReadBackExactlyAndOnlyWhole) {
    ASSERT_EQ(allServerInfoSections().size(), 22u);
    for (std::size_t i = 0; i < allServerInfoSections().size(); ++i) {
        const XNCServerInfoSection key = allServerInfoSections()[i];
        EXPECT_EQ(static_cast<std::size_t>(key), i);
        EXPECT_EQ(serverInfoSectionFromRawValue(rawValue(key)), key);
    }
    EXPECT_EQ(rawValue(XNCServerInfoSection::importCert), "DOWNLOAD_CERT");
    EXPECT_EQ(caseName(XNCServerInfoSection::testDeviceInputConfig), "testDeviceInputConfig");
    for (const char* text : {"rpc_url", "RPC_URL ", "RPC_UR", "USERNAME", "", "RPC_URL\r"}) {
        EXPECT_EQ(serverInfoSectionFromRawValue(text), std::nullopt) << text;
    }
}

class ParameterParserTest : public testing::CoreTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParameterParserTest, AppliesExactlyTheWellFormedPairs) {
    const ParseCase& c = GetParam();
    auto settings = makeSettings();
    ::testing::internal::CaptureStdout();
    parseParameters(c.text, *settings);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(settings->saveDictionary(), c.saved);
    for (const auto& [key, value] : c.saved) EXPECT_EQ(settings->userDefaults()->stringForKey(key), value);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParameterParserTest,
    ::testing::Values(ParseCase{"onePair", "RPC_URL=x", {{"RPC_URL", "x"}}, saving("x", "rpcURL")},
                      ParseCase{"spaceBeforeEqualsIsAnotherKey", "RPC_URL = x", {}, ""},
                      ParseCase{"noComments", "#RPC_URL=x", {}, ""},
                      ParseCase{"valueWithEqualsIsSkipped", "RPC_URL=a=b", {}, ""},
                      ParseCase{"keysAreCaseSensitive", "rpc_url=x\nRpc_Url=y", {}, ""},
                      ParseCase{"noEqualsOrOnlyEquals", "RPC_URL\n=\n=x\n", {}, ""},
                      ParseCase{"carriageReturnStaysInTheValue",
                                "RPC_URL=x\r\nINSTALL_KEY=y\r\n",
                                {{"RPC_URL", "x\r"}, {"INSTALL_KEY", "y\r"}},
                                saving("x\r", "rpcURL") + saving("y\r", "installKey")},
                      ParseCase{
                          "blankLinesAndEmptyValue", "\n\nSTOP=\n\n", {{"STOP", ""}}, saving("", "stop")},
                      ParseCase{"laterLineWins",
                                "RESET=false\nRESET=true",
                                {{"RESET", "true"}},
                                saving("false", "reset") + saving("true", "reset")},
                      ParseCase{"caseNamesDifferFromKeys",
                                "DOWNLOAD_CERT=TRUE\nidentifier=5\nuserName=bob\nTEST_DEVICE_CONFIG=c",
                                {{"DOWNLOAD_CERT", "TRUE"}, {"identifier", "5"}, {"TEST_DEVICE_CONFIG", "c"}},
                                saving("TRUE", "importCert") + saving("5", "identifier") +
                                    saving("bob", "userName") + saving("c", "testDeviceInputConfig")},
                      ParseCase{"unknownKeysAmongKnown",
                                "COLOR=red\nRPC_PORT=8443\nRPC_URL",
                                {{"RPC_PORT", "8443"}},
                                saving("8443", "rpcPort")},
                      ParseCase{"spacesAreKept",
                                "LOCATION_NAME= Main Office ",
                                {{"LOCATION_NAME", " Main Office "}},
                                saving(" Main Office ", "locationName")},
                      ParseCase{"binaryNoise", std::string("\0\xff=\x01\n\xc3(=\n", 9), {}, ""},
                      ParseCase{"invalidUTF8Value",
                                "LOCATION_NAME=\xc3(",
                                {{"LOCATION_NAME", "\xc3("}},
                                saving("\xc3(", "locationName")}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kiv
