// The extension's link is the application's: the real daemon's link socket, attacked by
// another local user (nobody) while the application (root here) is registered. The
// stranger is refused by the socket's mode and, were the mode wider, by its
// credentials; the application's connection is never replaced and still hears the
// proxy stop; the refusals take a bounded number of log lines.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Process.hpp"
#include "app/netext/ipc/IPCConnection.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/ne/DNSProxyPreferences.hpp"
#include "platform/xpc/TestSupport.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace {

using nlohmann::json;
using testing_dnsproxy::Process;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kLinkService = "com.kiv.veltrax.KIVDNSProxy";
// A group every Debian system has; the daemon is told to serve it instead of "kiv".
constexpr const char* kLinkGroup = "users";

// Connects `count` times to the socket and asks to register, as the user it runs as;
// prints how each attempt ended.
constexpr const char* kStranger = R"(
import socket, struct, sys
path, count = sys.argv[1], int(sys.argv[2])
body = b'{"kind":"call","selector":"register:","id":1,"args":[]}'
frame = struct.pack(">I", len(body)) + body
denied = closed = answered = 0
for _ in range(count):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(10)
    try:
        s.connect(path)
    except PermissionError:
        denied += 1
        s.close()
        continue
    try:
        s.sendall(frame)
        if s.recv(4096):
            answered += 1
        else:
            closed += 1
    except (ConnectionResetError, BrokenPipeError):
        closed += 1
    s.close()
print("denied %d closed %d answered %d" % (denied, closed, answered), flush=True)
)";

class RecordingApp final : public kiv::AppCommunication {
public:
    std::shared_ptr<xpctest::Recorder> calls = std::make_shared<xpctest::Recorder>();
    void proxyStoppedWithReason(std::int64_t reason) override {
        calls->add("stopped " + std::to_string(reason));
    }
    void connectionErrorWithReason(platform::ErrorObject reason) override {
        calls->add("error " + reason.domain);
    }
};

class LinkAccess : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kiv-link-XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        fs::create_directory(folder / "run");
        // The stranger must reach the folder: the socket's own mode is what is tried.
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(folder / "run", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    }
    void TearDown() override {
        processes.clear();
        if (!HasFailure()) fs::remove_all(folder);
    }

    void savePreferences(bool enabled) {
        platform::ne::DNSProxyPreferences saved;
        saved.enabled = enabled;
        saved.providerConfiguration = json{{"VendorData",
                                            {{"uuid", "00112233-4455-6677-8899-AABBCCDDEEFF"},
                                             {"locationTag", "abc"},
                                             {"resolvers", {"127.0.0.1"}},
                                             {"internalIp", "10.1.2.3"},
                                             {"externalIp", "198.51.100.7"},
                                             {"localDNS", json::array()},
                                             {"filters", json::array()}}}};
        ASSERT_EQ(platform::ne::saveDNSProxyPreferences(preferences().string(), saved), "");
    }
    fs::path preferences() const { return folder / "preferences.json"; }
    fs::path socketPath() const { return folder / "run" / (std::string(kLinkService) + ".sock"); }
    std::string errors() const {
        std::ifstream in(folder / "daemon.err");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::size_t errorLines(const std::string& text) const {
        const auto all = errors();
        std::size_t count = 0;
        for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
        return count;
    }
    // The stranger's tally, run as nobody.
    std::string attackAsNobody(int connections) {
        auto& stranger = *processes.emplace_back(std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                     "--clear-groups", "/usr/bin/python3", "-c", kStranger,
                                     socketPath().string(), std::to_string(connections)},
            std::vector<std::string>{}, (folder / "stranger.err").string()));
        const auto line = stranger.waitForLine("denied", 60s);
        return line ? *line : "no tally";
    }

    fs::path folder;
    std::vector<std::unique_ptr<Process>> processes;
};

TEST_F(LinkAccess, AStrangerIsRefusedAndTheApplicationsConnectionStaysItsOwn) {
    if (::getgrnam(kLinkGroup) == nullptr) GTEST_SKIP() << "no group " << kLinkGroup;
    savePreferences(true);
    auto& daemon = *processes.emplace_back(std::make_unique<Process>(
        std::vector<std::string>{KIV_BINARY_DIR "/dnsproxy/kivdnsproxy", "--no-intercept", "--preferences",
                                 preferences().string(), "--listen", "127.0.0.1", "--port", "0", "--threads",
                                 "1"},
        std::vector<std::string>{"KIV_RUN_DIR=" + (folder / "run").string(), "KIV_LOG_LEVEL=default",
                                 std::string(kiv::IPCConnection::kLinkGroupEnv) + "=" + kLinkGroup},
        (folder / "daemon.err").string()));
    ASSERT_TRUE(daemon.waitForLine("proxy started"));
    struct stat st {};
    ASSERT_EQ(::stat(socketPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, ::getgrnam(kLinkGroup)->gr_gid);

    // The application registers (root may always connect).
    kiv::fakes::ScopedEnvironment runDir(platform::kXPCRunDirEnv, (folder / "run").string());
    auto app = std::make_shared<RecordingApp>();
    auto link = kiv::IPCConnection::create();
    auto replies = std::make_shared<xpctest::Recorder>();
    link->registerWithExtension(*platform::Bundle::atPath(KIV_BINARY_DIR "/dnsproxy"), app,
                                [replies](std::string reply) { replies->add(reply); });
    ASSERT_TRUE(replies->waitFor("Registered extension KIVDNSProxy"));

    // The socket's mode keeps the stranger out.
    EXPECT_EQ(attackAsNobody(1), "denied 1 closed 0 answered 0");
    // Opened to everybody, as a wider socket unit would make it: the credentials keep
    // the stranger out, again and again.
    ASSERT_EQ(::chmod(socketPath().c_str(), 0666), 0);
    EXPECT_EQ(attackAsNobody(300), "denied 0 closed 300 answered 0");

    // The application's connection was neither replaced nor disturbed: it hears the stop.
    savePreferences(false);
    EXPECT_TRUE(app->calls->waitFor("stopped 9"));
    EXPECT_EQ(app->calls->events(), std::vector<std::string>{"stopped 9"});
    EXPECT_EQ(link->currentConnection() != nullptr, true);

    // One line says whom the link serves; the 300 refusals take a few lines a minute.
    EXPECT_EQ(errorLines("serves root and the members of group users"), 1u);
    const auto refusals =
        errorLines("Refused a connection to service com.kiv.veltrax.KIVDNSProxy from uid 65534");
    EXPECT_GE(refusals, 1u);
    EXPECT_LE(refusals, 5u);

    daemon.signal(SIGTERM);
    const auto status = daemon.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    if (auto connection = link->currentConnection()) connection->invalidate();
}

}  // namespace
