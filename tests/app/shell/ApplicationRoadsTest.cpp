// The application as a process: both start-up roads and every way it quits, seen from outside
// through its output, its settings file and the DNS-proxy preferences file it edits. Every run has
// a home, a temporary folder and a preferences file of its own; nothing of the machine is touched.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"

// Each road names only the fields it checks; the others keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

namespace fs = std::filesystem;
using kiv::fakes::readText;
using nlohmann::json;

constexpr uid_t kNobody = 65534;

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

struct Road {
    std::string name;
    std::vector<std::string> arguments;    // after the program path
    std::vector<std::string> environment;  // besides the run's own folders
    bool asRoot = false;                   // otherwise an ordinary user when the test is root
    // A RESET asks every other instance of the same user to quit: such a road runs as a user of its
    // own, so that it does not end the other roads running beside it.
    uid_t user = kNobody;
    int quitSignal = 0;                            // sent once the road is under way; 0: it quits by itself
    std::vector<std::string> expectedLines;        // in this order, on standard output
    std::vector<std::string> absentLines;          // nowhere on standard output
    std::map<std::string, json> expectedSettings;  // null: absent
    std::string preferences;                       // "kept", "removed" or "disabled"
    std::vector<std::string> expectedLog;          // in the system log (standard error)
    std::vector<std::string> absentLog;
    std::string expectedHelperLog;  // in the helper's log file, which the certificate step shares
};

std::ostream& operator<<(std::ostream& out, const Road& road) { return out << road.name; }

class ApplicationRoadsTest : public ::testing::TestWithParam<Road> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kiv-roads-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        for (const char* folder : {"home", "tmp", "var", "root/var/lib/kiv"})
            fs::create_directories(root_ / folder);
        // The application's settings from an earlier install, and an enabled proxy.
        fs::create_directories(settingsFile().parent_path());
        writeJSON(settingsFile(),
                  {{"INSTALL_KEY", "old-key"},
                   {"DEVICE_KEY", "old-device"},
                   {"userID", "tag-1"},
                   {"uninstalling", GetParam().name.find("after_logout") != std::string::npos}});
        writeJSON(preferencesFile(), {{"localizedDescription", "KIV DNS Proxy "},
                                      {"enabled", true},
                                      {"providerProtocol",
                                       {{"providerBundleIdentifier", "com.kiv.veltrax.KIVDNSProxy"},
                                        {"providerConfiguration", {{"uuid", "u-1"}}}}}});
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path settingsFile() const { return root_ / "home/.config/kiv/com.kiv.veltrix.json"; }
    fs::path preferencesFile() const { return root_ / "var/preferences.json"; }
    fs::path cookieFile() const { return root_ / "tmp/.kivcookie"; }

    static void writeJSON(const fs::path& path, const json& value) { std::ofstream(path) << value.dump(); }
    static std::optional<json> readJSON(const fs::path& path) {
        std::ifstream in(path);
        if (!in) return std::nullopt;
        return json::parse(in, nullptr, false);
    }
    // Gives the run's folders to `uid`, so that an ordinary user can write them.
    void handOver(uid_t uid) const {
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), uid, uid), 0) << entry.path();
        }
        ASSERT_EQ(::chown(root_.c_str(), uid, uid), 0);
    }

    fs::path root_;
};

TEST_P(ApplicationRoadsTest, RunsItsRoadAndQuitsInOrder) {
    const Road& road = GetParam();
    const bool testIsRoot = ::geteuid() == 0;
    if (road.asRoot && !testIsRoot) GTEST_SKIP() << "the installer's root run needs root";
    if (road.user != kNobody && !testIsRoot) GTEST_SKIP() << "a user of its own needs root";

    kiv::fakes::Process::Options options;
    options.inheritEnvironment = false;
    if (testIsRoot && !road.asRoot) {
        options.runAs = road.user;
        handOver(road.user);
    }
    std::vector<std::string> arguments{std::string(KIV_BINARY_DIR) + "/app/shell/brannockcloud"};
    arguments.insert(arguments.end(), road.arguments.begin(), road.arguments.end());
    std::vector<std::string> environment{
        "PATH=/usr/bin:/bin",
        "KIV_LOG_LEVEL=info",
        "KIV_HOME=" + (root_ / "home").string(),
        "KIV_TMP_DIR=" + (root_ / "tmp").string(),
        "KIV_DNSPROXY_PREFERENCES=" + preferencesFile().string(),
        "KIV_ROOT=" + (root_ / "root").string(),
        "KIV_RUN_DIR=" + (root_ / "tmp").string(),
        // No bus of the machine's: the status item, notifications and sleep watch find none.
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (root_ / "tmp/no-system-bus").string(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root_ / "tmp/no-session-bus").string(),
    };
    environment.insert(environment.end(), road.environment.begin(), road.environment.end());
    const fs::path errors = root_ / "stderr.txt";
    kiv::fakes::Process app(arguments, environment, errors.string(), options);

    std::vector<std::string> lines;
    const auto readUntil = [&](const std::string& text) {
        while (auto line = app.readLine(std::chrono::seconds(15))) {
            lines.push_back(*line);
            if (line->find(text) != std::string::npos) return true;
        }
        return false;
    };
    if (road.quitSignal != 0) {
        ASSERT_TRUE(readUntil("was not run from the command line")) << readText(errors);
        app.signal(road.quitSignal);
    }
    const auto status = app.wait(std::chrono::seconds(20));
    ASSERT_TRUE(status.has_value()) << "the application did not quit";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "status " << *status << "\n"
                                                                 << readText(errors);
    while (auto line = app.readLine(std::chrono::milliseconds(200))) lines.push_back(*line);

    std::size_t next = 0;
    for (const std::string& expected : road.expectedLines) {
        while (next < lines.size() && lines[next].find(expected) == std::string::npos) ++next;
        EXPECT_LT(next, lines.size()) << "missing, or out of order: \"" << expected << "\" in:\n"
                                      << joined(lines);
    }
    for (const std::string& absent : road.absentLines) {
        for (const std::string& line : lines) EXPECT_EQ(line.find(absent), std::string::npos) << line;
    }
    const std::string log = readText(errors);
    for (const std::string& expected : road.expectedLog)
        EXPECT_NE(log.find(expected), std::string::npos) << expected;
    for (const std::string& absent : road.absentLog) EXPECT_EQ(log.find(absent), std::string::npos) << absent;

    const auto settings = readJSON(settingsFile());
    ASSERT_TRUE(settings && settings->is_object());
    for (const auto& [key, value] : road.expectedSettings) {
        if (value.is_null()) {
            EXPECT_FALSE(settings->contains(key)) << key << " = " << settings->value(key, json()).dump();
        } else {
            EXPECT_EQ(settings->value(key, json()), value) << key;
        }
    }

    const auto preferences = readJSON(preferencesFile());
    if (road.preferences == "removed") {
        EXPECT_FALSE(preferences.has_value());
    } else {
        ASSERT_TRUE(preferences.has_value());
        EXPECT_EQ(preferences->value("enabled", json()), road.preferences == "kept");
        EXPECT_EQ(preferences->at("providerProtocol").value("providerConfiguration", json()),
                  json({{"uuid", "u-1"}}));
    }

    const std::string helperLog = readText(root_ / "root/var/lib/kiv/kivHelper.log");
    if (road.expectedHelperLog.empty()) {
        EXPECT_EQ(helperLog, "");
    } else {
        EXPECT_NE(helperLog.find(road.expectedHelperLog), std::string::npos) << helperLog;
    }

    if (road.asRoot) {
        const std::string cookie = readText(cookieFile());
        EXPECT_NE(cookie.find("RPC_URL=https://127.0.0.1:1/base\n"), std::string::npos) << cookie;
        EXPECT_NE(cookie.find("INSTALL_KEY=new-key\n"), std::string::npos) << cookie;
        struct stat info {};
        ASSERT_EQ(::lstat(cookieFile().c_str(), &info), 0);
        // The keys are for root and the application's user only (the group "kiv" may read them).
        EXPECT_EQ(info.st_mode & 07777, ::getgrnam("kiv") ? 0640u : 0600u);
    } else {
        EXPECT_FALSE(fs::exists(cookieFile()));
    }
}

const std::string kInstallerStep = "Saved as default::";
const std::string kActivation = "KIVNetExtMgr: Will submit activation request";

INSTANTIATE_TEST_SUITE_P(
    Roads, ApplicationRoadsTest,
    ::testing::Values(
        Road{.name = "installer_saves_the_arguments_fetches_once_and_quits_3_s_later",
             .arguments = {"RPC_URL=https://127.0.0.1:1/base", "INSTALL_KEY=new-key", "DOWNLOAD_CERT=true",
                           "LOCATION_NAME=Lab", "BOGUS=1", "RPC_PORT=8443=1"},
             .environment = {"PWD=/home/alice/Downloads"},
             .expectedLines = {"wasRunFromCommandLine", kInstallerStep, "quitting",
                               "applicationWillTerminate"},
             .expectedSettings = {{"RPC_URL", "https://127.0.0.1:1/base"},
                                  {"INSTALL_KEY", "new-key"},
                                  {"LOCATION_NAME", "Lab"},
                                  {"TRAY_TYPE", "1"},
                                  {"SHOW_TEST_MENU", "TRUE"},
                                  {"DOWNLOAD_CERT", "true"},
                                  {"DEVICE_KEY", nullptr},
                                  {"userID", nullptr},
                                  {"RPC_PORT", nullptr},
                                  {"BOGUS", nullptr},
                                  {"uninstalling", false}},
             .preferences = "kept",
             .absentLog = {kActivation},
             .expectedHelperLog = "Install Cert Requesting from http://127.0.0.1/base/ssl/ca.der"},
        Road{.name = "installer_without_a_server_url_removes_the_proxy_and_quits",
             .arguments = {"INSTALL_KEY=new-key"},
             .environment = {"SUDO_COMMAND=/usr/bin/brannockcloud"},
             .expectedLines = {"wasRunFromCommandLine", "applicationWillTerminate"},
             .expectedSettings = {{"INSTALL_KEY", "old-key"}, {"RPC_URL", nullptr}, {"DEVICE_KEY", nullptr}},
             .preferences = "removed"},
        Road{.name = "installer_stop_and_reset_disable_the_proxy_and_skip_the_installer_step",
             .arguments = {"STOP=TRUE", "RESET=true"},
             .environment = {"PWD=/home/alice"},
             .user = kNobody - 1,
             .expectedLines = {"wasRunFromCommandLine", "applicationWillTerminate"},
             .absentLines = {kInstallerStep, "quitting"},
             .expectedSettings =
                 {{"STOP", "TRUE"}, {"RESET", "true"}, {"INSTALL_KEY", "old-key"}, {"uninstalling", false}},
             .preferences = "disabled"},
        Road{.name = "installer_stop_and_reset_in_the_wrong_case_are_not_handled",
             .arguments = {"STOP=true", "RESET=TRUE"},
             .environment = {"PWD=/home/alice"},
             .expectedLines = {"wasRunFromCommandLine", kInstallerStep, "quitting",
                               "applicationWillTerminate"},
             .expectedSettings = {{"STOP", "true"}, {"RESET", "TRUE"}},
             .preferences = "kept"},
        Road{.name = "installer_under_a_test_runner_parses_nothing",
             .arguments = {"RPC_URL=https://127.0.0.1:1/base", "INSTALL_KEY=new-key"},
             .environment = {"PWD=/home/alice", "XCTestConfigurationFilePath=/dev/null"},
             .expectedLines = {"wasRunFromCommandLine", kInstallerStep, "quitting"},
             .expectedSettings = {{"INSTALL_KEY", "old-key"}, {"RPC_URL", nullptr}, {"DEVICE_KEY", nullptr}},
             .preferences = "kept"},
        Road{.name = "installer_as_root_writes_the_cookie_file_and_quits_at_once",
             .arguments = {"RPC_URL=https://127.0.0.1:1/base", "INSTALL_KEY=new-key"},
             .environment = {"PWD=/root", "SUDO_COMMAND=/usr/bin/brannockcloud"},
             .asRoot = true,
             .expectedLines = {"wasRunFromCommandLine", "applicationWillTerminate"},
             .absentLines = {kInstallerStep, "quitting"},
             .expectedSettings = {{"INSTALL_KEY", "new-key"}},
             .preferences = "kept"},
        Road{.name = "normal_start_then_user_quit_removes_the_proxy",
             .quitSignal = SIGINT,
             .expectedLines = {"was not run from the command line", "Apple event quit ...",
                               "applicationWillTerminate"},
             .absentLines = {"wasRunFromCommandLine"},
             .expectedSettings = {{"uninstalling", nullptr},
                                  {"SHOW_TEST_MENU", "false"},
                                  {"INSTALL_KEY", "old-key"},
                                  {"DEVICE_KEY", "old-device"},
                                  {"TRAY_TYPE", nullptr}},
             .preferences = "removed",
             .expectedLog = {kActivation}},
        Road{.name = "normal_start_then_system_quit_keeps_the_proxy",
             .quitSignal = SIGTERM,
             .expectedLines = {"was not run from the command line", "applicationWillTerminate"},
             .absentLines = {"Apple event quit ..."},
             .expectedSettings = {{"uninstalling", true}},
             .preferences = "kept",
             .expectedLog = {kActivation}},
        Road{.name = "normal_start_after_logout_skips_activation_once",
             .quitSignal = SIGINT,
             .expectedLines = {"was not run from the command line", "applicationWillTerminate"},
             .expectedSettings = {{"uninstalling", nullptr}},
             .preferences = "removed",
             .absentLog = {kActivation}},
        Road{.name = "normal_start_with_installextension_false_skips_activation",
             .environment = {"INSTALLEXTENSION=false"},
             .quitSignal = SIGINT,
             .expectedLines = {"was not run from the command line", "applicationWillTerminate"},
             .preferences = "removed",
             .absentLog = {kActivation}}),
    [](const ::testing::TestParamInfo<Road>& info) { return info.param.name; });

}  // namespace
