// The extension's end in a process of its own (ipc_test_extension), the application's
// end here, as the two deliverables run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/netext/ipc/IPCConnection.hpp"
#include "app/netext/ipc/IPCTestSupport.hpp"
#include "model/JSONCoder.hpp"

extern char** environ;

namespace kiv {
namespace {

class ExtensionProcess {
public:
    ExtensionProcess() {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char* argv[] = {const_cast<char*>(IPC_TEST_EXTENSION), nullptr};
        const int rc = ::posix_spawn(&pid_, IPC_TEST_EXTENSION, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
    }
    ~ExtensionProcess() { finish(); }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(in_, text.data(), text.size()), ssize_t(text.size()));
    }
    // The next output line that is not the decoder's progress text; "" after 10 s.
    std::string readLine() {
        for (;;) {
            std::string line;
            char c;
            for (;;) {
                pollfd p{out_, POLLIN, 0};
                if (::poll(&p, 1, 10000) != 1 || ::read(out_, &c, 1) != 1) return line;
                if (c == '\n') break;
                line += c;
            }
            if (line != "Fetching device config") return line;
        }
    }
    int finish() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
        int status = 0;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

TEST(IPCTwoProcess, ApplicationAndExtensionTalkAcrossProcesses) {
    xpctest::TempRunDir runDir;
    ipctest::TempBundle bundle{ipctest::extensionInfo()};
    ::setenv(platform::kMainBundleEnv, bundle.path().c_str(), 1);
    ExtensionProcess extension;
    ASSERT_EQ(extension.readLine(), "ready");

    // Before any registration the extension has nobody to tell.
    extension.send("stop 1");
    EXPECT_EQ(extension.readLine(), "not sent");

    auto app = IPCConnection::create();
    auto delegate = std::make_shared<ipctest::FakeApp>();
    auto texts = std::make_shared<xpctest::Recorder>();
    app->registerWithExtension(bundle.bundle(), delegate,
                               [texts](std::string t) { texts->add(std::move(t)); });
    ASSERT_TRUE(texts->waitForCount(1));
    EXPECT_EQ(texts->events()[0], "Registered extension KIVDNSProxy");

    extension.send("stop 3");
    EXPECT_EQ(extension.readLine(), "sent");
    ASSERT_TRUE(delegate->calls->waitFor("stopped 3"));

    // The configuration message has no sender in the application; its server still works.
    auto provider =
        ProviderCommunication::remote(app->currentConnection()->remoteObjectProxyWithErrorHandler(nullptr));
    const NetworkExtConfig config{"device-9", "loc", {"9.9.9.9"}, {}};
    const std::string json = *model::JSONEncoder{}.encode(config);
    provider->updateConfigWithConfig(std::vector<std::uint8_t>(json.begin(), json.end()),
                                     [texts](std::string t) { texts->add(std::move(t)); });
    ASSERT_TRUE(texts->waitForCount(2));
    EXPECT_EQ(texts->events()[1], "KIVDNSProxy updated config");
    extension.send("config");
    EXPECT_EQ(extension.readLine(), "device-9");

    EXPECT_EQ(extension.finish(), 0);
    app->currentConnection()->invalidate();
    xpctest::drainReactor();
    ::unsetenv(platform::kMainBundleEnv);
}

}  // namespace
}  // namespace kiv
