// The helper program over its real socket: every command, its argument checks, its
// authorization (the caller named by the kernel, the rights database), and its effects on the
// product folder and the trust store.
#include <gtest/gtest.h>

#include <functional>

#include "fakes/LoopbackHTTPServer.hpp"
#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

using platform::Bytes;
using platform::XPCArguments;
using platform::XPCValue;
namespace sel = helper::selector;

constexpr std::int64_t kParamErr = -50;
constexpr std::int64_t kDenied = -60005;
constexpr uid_t kNobodyUid = 65534;

const std::string kKey32 = "0123456789abcdefABCDEF_012345678";

struct CommandCase {
    std::string name;
    std::string selector;
    std::function<XPCArguments()> arguments;  // without the authorization
    std::optional<std::int64_t> code;         // nullopt: a nil reply
    std::string configAfter;                  // "" : unchanged
    std::string logLine;                      // a line the log must hold, if any
};

std::string printName(const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; }

class HelperCommandTest : public HelperServiceFixture, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(HelperCommandTest, AnswersAndActsAsExpectedForRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "the commands are open to root and the administrators only";
    const auto& c = GetParam();
    auto arguments = c.arguments();
    arguments.push_back(Bytes(externalForm()));
    const Outcome outcome = call(c.selector, arguments);
    ASSERT_TRUE(outcome.replied);
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(readText(product() / "config.ini"), c.configAfter.empty() ? kInitialConfig : c.configAfter);
    if (!c.logLine.empty()) {
        EXPECT_NE(logText().find(c.logLine), std::string::npos) << logText();
    }
}

std::string config(const std::string& from, const std::string& to) {
    std::string text = kInitialConfig;
    text.replace(text.find(from), from.size(), to);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HelperCommandTest,
    ::testing::Values(
        CommandCase{"LogDebugOn", sel::setLogDebug, [] { return XPCArguments{true}; }, std::nullopt,
                    config("LogDebug=false", "LogDebug=true"), "Setting LogDebug info to: true"},
        CommandCase{"TrayTypeThree", sel::setTrayType, [] { return XPCArguments{3}; }, std::nullopt,
                    config("TrayType=2", "TrayType=3"), "Updating tray type to: 3"},
        CommandCase{"TrayTypeZero", sel::setTrayType, [] { return XPCArguments{0}; }, std::nullopt,
                    config("TrayType=2", "TrayType=0"), "TrayType updated successfully"},
        CommandCase{"TrayTypeFour", sel::setTrayType, [] { return XPCArguments{4}; }, kParamErr, "",
                    "Invalid tray type specified"},
        CommandCase{"TrayTypeNegative", sel::setTrayType, [] { return XPCArguments{-1}; }, kParamErr, "",
                    "Invalid tray type specified"},
        CommandCase{"TrayTypeMissing", sel::setTrayType, [] { return XPCArguments{XPCValue()}; }, kParamErr,
                    "", ""},
        CommandCase{"LocationKey", sel::writeLocation, [] { return XPCArguments{kKey32}; }, std::nullopt,
                    config("LocationKey=none", "LocationKey=" + kKey32), "LocationKey updated successfully"},
        CommandCase{"LocationKeyShort", sel::writeLocation, [] { return XPCArguments{kKey32.substr(1)}; },
                    kParamErr, "", "Invalid location key"},
        // 32 characters that would add a line of their own to config.ini.
        CommandCase{"LocationKeyNewline", sel::writeLocation,
                    [] { return XPCArguments{std::string("abc\nLogDebug=true\n[x]\n0123456789ab")}; },
                    kParamErr, "", "Invalid location key"},
        CommandCase{"LocationKeyShell", sel::writeLocation,
                    [] { return XPCArguments{std::string("$(touch /tmp/kiv-owned)`id`;|&x")}; }, kParamErr,
                    "", ""},
        CommandCase{"LocationKeyRegex", sel::writeLocation,
                    [] { return XPCArguments{std::string(".*=\\w*\\n$1$0....................")}; }, kParamErr,
                    "", ""},
        CommandCase{"DownloadFileScheme", sel::downloadCert,
                    [] {
                        return XPCArguments{std::string("file:///etc/shadow"), std::string("ca.der")};
                    },
                    kParamErr, "", ""},
        CommandCase{"DownloadFtpScheme", sel::downloadCert,
                    [] {
                        return XPCArguments{std::string("ftp://127.0.0.1/ca.der"), std::string("ca.der")};
                    },
                    kParamErr, "", ""},
        CommandCase{"DownloadShellURL", sel::downloadCert,
                    [] {
                        return XPCArguments{std::string("http://127.0.0.1/$(reboot)\"; reboot"),
                                            std::string("ca.der")};
                    },
                    kParamErr, "", ""},
        CommandCase{"ServersWithShellText", sel::modifyDNS,
                    [] {
                        return XPCArguments{std::vector<std::string>{"192.0.2.1; reboot", "$(id)"}};
                    },
                    kParamErr, "", "======== Modify DNS ======="},
        CommandCase{"ServicesWithShellText", sel::modifyDNSForServices,
                    [] {
                        return XPCArguments{std::vector<std::string>{"192.0.2.1\nnameserver 203.0.113.9"},
                                            std::vector<std::string>{"../../etc", "lo`id`"}};
                    },
                    kParamErr, "", ""},
        CommandCase{"ImportRelativePath", sel::importCert, [] { return XPCArguments{std::string("ca.pem")}; },
                    kParamErr, "", ""},
        CommandCase{"ImportMissingPath", sel::importCert, [] { return XPCArguments{XPCValue()}; }, kParamErr,
                    "", ""}),
    printName);

// Names that are not one plain file of the product folder, or name the helper's own files.
class DownloadNameTest : public HelperServiceFixture, public ::testing::WithParamInterface<std::string> {};

TEST_P(DownloadNameTest, IsABadParameter) {
    if (::geteuid() != 0) GTEST_SKIP() << "the command is open to root and the administrators only";
    const Outcome outcome = call(
        sel::downloadCert, {std::string("http://127.0.0.1:9/ca.der"), GetParam(), Bytes(externalForm())});
    ASSERT_TRUE(outcome.replied);
    EXPECT_EQ(outcome.code, kParamErr);
    EXPECT_EQ(readText(product() / "config.ini"), kInitialConfig);
}

INSTANTIATE_TEST_SUITE_P(Names, DownloadNameTest,
                         ::testing::Values("../ca.der", "../../etc/passwd", "sub/ca.der", "/etc/passwd",
                                           "config.ini", "CONFIG.INI", "kivHelper.log", "KIVHELPER.log.bak",
                                           ".hidden", ".", "..", "", "ca\n.der", std::string("ca\0der", 6),
                                           std::string(256, 'a')));

// The authorization value itself, before any right is looked at.
struct AuthorizationCase {
    std::string name;
    std::function<XPCValue()> value;
    std::int64_t code;
};

class AuthorizationFormTest : public HelperServiceFixture,
                              public ::testing::WithParamInterface<AuthorizationCase> {};

TEST_P(AuthorizationFormTest, IsRefusedAndNothingRuns) {
    const Outcome outcome = call(sel::setLogDebug, {true, GetParam().value()});
    ASSERT_TRUE(outcome.replied);
    EXPECT_EQ(outcome.code, GetParam().code);
    EXPECT_EQ(readText(product() / "config.ini"), kInitialConfig);
    EXPECT_NE(logText().find("Authentication error"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Forms, AuthorizationFormTest,
                         ::testing::Values(AuthorizationCase{"None", [] { return XPCValue(); }, kParamErr},
                                           AuthorizationCase{"Short",
                                                             [] {
                                                                 auto f = externalForm();
                                                                 f.pop_back();
                                                                 return XPCValue(Bytes(f));
                                                             },
                                                             kParamErr},
                                           AuthorizationCase{"Long",
                                                             [] {
                                                                 auto f = externalForm();
                                                                 f.push_back(0);
                                                                 return XPCValue(Bytes(f));
                                                             },
                                                             kParamErr},
                                           AuthorizationCase{"Forged", [] { return XPCValue(Bytes(32, 0)); },
                                                             helper::errAuthorizationInvalidRef}),
                         [](const auto& info) { return info.param.name; });

// A local user who is neither root nor an administrator.
struct OtherUserCase {
    std::string selector;
    std::function<XPCArguments()> arguments;
    std::optional<std::int64_t> code;
};

class OtherUserTest : public HelperServiceFixture, public ::testing::WithParamInterface<OtherUserCase> {};

TEST_P(OtherUserTest, MayOnlyFlush) {
    if (::geteuid() != 0) GTEST_SKIP() << "running a client under another user needs root";
    auto arguments = GetParam().arguments();
    arguments.push_back(Bytes(externalForm()));
    const Outcome outcome = call(GetParam().selector, arguments, kNobodyUid);
    ASSERT_TRUE(outcome.replied);
    EXPECT_EQ(outcome.code, GetParam().code);
    EXPECT_EQ(readText(product() / "config.ini"), kInitialConfig);
    EXPECT_TRUE(fs::is_empty(root_ / "usr/local/share/ca-certificates"));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OtherUserTest,
    ::testing::Values(
        OtherUserCase{sel::setLogDebug, [] { return XPCArguments{true}; }, kDenied},
        OtherUserCase{sel::setTrayType, [] { return XPCArguments{1}; }, kDenied},
        OtherUserCase{sel::writeLocation, [] { return XPCArguments{kKey32}; }, kDenied},
        OtherUserCase{sel::modifyDNS, [] { return XPCArguments{std::vector<std::string>{"192.0.2.1"}}; },
                      kDenied},
        OtherUserCase{sel::rollbackDNS, [] { return XPCArguments{}; }, kDenied},
        OtherUserCase{
            sel::modifyDNSForServices,
            [] {
                return XPCArguments{std::vector<std::string>{"192.0.2.1"}, std::vector<std::string>{"lo"}};
            },
            kDenied},
        OtherUserCase{sel::rollbackDNSForServices,
                      [] { return XPCArguments{std::vector<std::string>{"lo"}}; }, kDenied},
        OtherUserCase{
            sel::downloadCert,
            [] {
                return XPCArguments{std::string("http://127.0.0.1:9/ca.der"), std::string("ca.der")};
            },
            kDenied},
        OtherUserCase{sel::importCert, [] { return XPCArguments{std::string("/etc/hostname")}; }, kDenied},
        OtherUserCase{sel::flushDNS, [] { return XPCArguments{}; }, std::nullopt}));

TEST_F(HelperServiceFixture, UntrustedOrMissingRightsDatabaseRefusesEvenTheFlush) {
    fs::permissions(root_ / "etc/kiv/kivhelper.rights", fs::perms(0666));
    EXPECT_EQ(call(sel::flushDNS, {Bytes(externalForm())}).code, kDenied);
    fs::remove(root_ / "etc/kiv/kivhelper.rights");
    EXPECT_EQ(call(sel::flushDNS, {Bytes(externalForm())}).code, kDenied);
    writeRights("com.veltrix.kivHelper.flushDNSwithAuthorization allow\n");
    EXPECT_EQ(call(sel::flushDNS, {Bytes(externalForm())}).code, std::nullopt);
}

TEST_F(HelperServiceFixture, MalformedOrHugeFramesCloseOnlyTheirConnection) {
    // An announced length past the cap, a body that is no message, arguments of the wrong types.
    const std::string huge = std::string("\x00\x50\x00\x00", 4) + std::string(64, '{');
    EXPECT_FALSE(request(huge).replied);
    EXPECT_FALSE(request(std::string("\x00\x00\x00\x05", 4) + "hello").replied);
    EXPECT_FALSE(call(sel::setLogDebug, {std::string("true"), Bytes(externalForm())}).replied);
    EXPECT_FALSE(call("unknownCommand:withReply:", {Bytes(externalForm())}).replied);
    EXPECT_FALSE(request(std::string("\x00\x50\x00\x00", 4) + std::string(5 << 20, '[')).replied);
    EXPECT_EQ(call(sel::flushDNS, {Bytes(externalForm())}).code, std::nullopt);
    EXPECT_EQ(readText(product() / "config.ini"), kInitialConfig);
}

// Downloads from a loopback server: the body is stored whatever it is, but only from http(s),
// only within the size cap, and never through a redirect to another scheme.
struct DownloadCase {
    std::string name;
    std::string path;
    bool stored;
    std::string logLine;
};

class DownloadTest : public HelperServiceFixture, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadTest, StoresOnlyWhatItShould) {
    if (::geteuid() != 0) GTEST_SKIP() << "the command is open to root and the administrators only";
    fakes::LoopbackHTTPServer server;
    const Outcome outcome =
        call(sel::downloadCert, {server.url(GetParam().path), std::string("ca.der"), Bytes(externalForm())});
    ASSERT_TRUE(outcome.replied);
    EXPECT_EQ(outcome.code, std::nullopt);
    EXPECT_EQ(fs::exists(product() / "ca.der"), GetParam().stored);
    if (GetParam().stored && GetParam().path == "/echo") {
        EXPECT_NE(readText(product() / "ca.der").find("\"method\""), std::string::npos);
    }
    EXPECT_NE(logText().find(GetParam().logLine), std::string::npos) << logText();
}

INSTANTIATE_TEST_SUITE_P(Sources, DownloadTest,
                         ::testing::Values(DownloadCase{"Plain", "/echo", true, "File is saved to"},
                                           DownloadCase{"ErrorPage", "/status/404", true, "File is saved to"},
                                           DownloadCase{"RedirectToFile", "/redirect?to=file:///etc/passwd",
                                                        false, "Download Error:"},
                                           DownloadCase{"OverCap", "/big/1048577", false, "Download Error:"},
                                           DownloadCase{"Closed", "/close", false, "Download Error:"}),
                         [](const auto& info) { return info.param.name; });

// Trust: the certificate lands in the local CA folder and the update builds the bundle that
// openssl then verifies against.
class ImportTest : public HelperServiceFixture {
protected:
    bool verifies(const fs::path& certificate) {
        const std::string command =
            "openssl verify -CAfile " + bundle().string() + " " + certificate.string() + " >/dev/null 2>&1";
        return fs::exists(bundle()) && std::system(command.c_str()) == 0;
    }
    fs::path makeCA(const std::string& name) {
        const fs::path pem = folder_.path() / (name + ".pem");
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=" +
            name + " -keyout " + (folder_.path() / (name + ".key")).string() + " -out " + pem.string() +
            " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return pem;
    }
};

TEST_F(ImportTest, TrustsTheCertificateThroughTheUpdateProgram) {
    if (::geteuid() != 0) GTEST_SKIP() << "the command is open to root and the administrators only";
    const fs::path pem = makeCA("BrannockTestRoot");
    const fs::path der = product() / "ca.der";
    ASSERT_EQ(
        std::system(("openssl x509 -in " + pem.string() + " -outform der -out " + der.string()).c_str()), 0);
    EXPECT_FALSE(verifies(pem));
    EXPECT_EQ(call(sel::importCert, {der.string(), Bytes(externalForm())}).code, std::nullopt);
    EXPECT_TRUE(verifies(pem));
    EXPECT_NE(logText().find("Command " + updateScript().string() + " output Updating certificates"),
              std::string::npos)
        << logText();
}

// The helper ignores SIGPIPE and blocks its stop signals; the update program must start with
// neither, as a shell pipeline inside it would otherwise never end on a closed pipe. The shell
// becomes the reader of its own status: a shell that starts a command blocks every signal for
// a moment, so its masks read from another process would be those of that moment. Ignored and
// blocked signals both pass through exec unchanged.
TEST_F(ImportTest, UpdateProgramStartsWithDefaultSignalsAndNoneBlocked) {
    if (::geteuid() != 0) GTEST_SKIP() << "the command is open to root and the administrators only";
    const fs::path seen = folder_.path() / "signals";
    writeText(updateScript(),
              "#!/bin/sh\necho \"Updating certificates... done.\"\nexec grep -E '^Sig(Ign|Blk):' "
              "/proc/self/status > " +
                  seen.string() + "\n",
              fs::perms(0755));
    const fs::path pem = makeCA("SignalsRoot");
    EXPECT_EQ(call(sel::importCert, {pem.string(), Bytes(externalForm())}).code, std::nullopt);
    const std::string text = readText(seen);
    auto mask = [&](const std::string& field) -> std::optional<unsigned long long> {
        const auto at = text.find(field + ":\t");
        if (at == std::string::npos) return std::nullopt;
        return std::stoull(text.substr(at + field.size() + 2, 16), nullptr, 16);
    };
    // Signals 1-31 (SIGPIPE is bit 12); the C library reserves 32 and 33 for itself.
    ASSERT_TRUE(mask("SigIgn") && mask("SigBlk")) << text;
    EXPECT_EQ(*mask("SigIgn") & 0x7FFFFFFFull, 0u) << text;
    EXPECT_EQ(*mask("SigBlk"), 0u) << text;
}

TEST_F(ImportTest, TrustsNothingForLinksNonCertificatesAndShellText) {
    if (::geteuid() != 0) GTEST_SKIP() << "the command is open to root and the administrators only";
    const fs::path pem = makeCA("LinkedRoot");
    fs::create_symlink(pem, product() / "linked.pem");
    writeText(product() / "garbage.pem",
              "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    const std::string shell = (product() / "x\"; touch /tmp/kiv-owned; \"$(id)`id`.pem").string();
    for (const auto& path : {(product() / "linked.pem").string(), (product() / "garbage.pem").string(), shell,
                             std::string("/dev/zero"), std::string("/nonexistent/ca.pem")}) {
        EXPECT_EQ(call(sel::importCert, {path, Bytes(externalForm())}).code, std::nullopt) << path;
    }
    EXPECT_TRUE(fs::is_empty(root_ / "usr/local/share/ca-certificates"));
    EXPECT_FALSE(fs::exists("/tmp/kiv-owned"));
    EXPECT_NE(logText().find("Cannot import"), std::string::npos);
}

}  // namespace
}  // namespace kiv::testing
