// The extension's end in a process of its own (ipc_test_extension), the application's
// end here, as the two deliverables run.
#include <gtest/gtest.h>

#include "app/netext/ipc/IPCConnection.hpp"
#include "app/netext/ipc/IPCTestSupport.hpp"
#include "fakes/ChildProcess.hpp"
#include "model/JSONCoder.hpp"

namespace kiv {
namespace {

// ipc_test_extension, whose output also carries the decoder's progress text.
class ExtensionProcess : public fakes::ChildProcess {
public:
    ExtensionProcess() : ChildProcess(IPC_TEST_EXTENSION) {}
    // The next output line that is not the decoder's progress text; "" after 10 s.
    std::string readLine() {
        for (;;) {
            std::string line = ChildProcess::readLine();
            if (line != "Fetching device config") return line;
        }
    }
};

TEST(IPCTwoProcess, ApplicationAndExtensionTalkAcrossProcesses) {
    xpctest::TempRunDir runDir;
    ipctest::TempBundle bundle{ipctest::extensionInfo()};
    ::setenv(platform::kMainBundleEnv, bundle.path().c_str(), 1);
    ExtensionProcess extension;
    ASSERT_EQ(extension.readLine(), "ready");

    // Before any registration the extension has nobody to tell.
    ASSERT_TRUE(extension.send("stop 1"));
    EXPECT_EQ(extension.readLine(), "not sent");

    auto app = IPCConnection::create();
    auto delegate = std::make_shared<ipctest::FakeApp>();
    auto texts = std::make_shared<xpctest::Recorder>();
    app->registerWithExtension(bundle.bundle(), delegate,
                               [texts](std::string t) { texts->add(std::move(t)); });
    ASSERT_TRUE(texts->waitForCount(1));
    EXPECT_EQ(texts->events()[0], "Registered extension KIVDNSProxy");

    ASSERT_TRUE(extension.send("stop 3"));
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
    ASSERT_TRUE(extension.send("config"));
    EXPECT_EQ(extension.readLine(), "device-9");

    EXPECT_EQ(extension.finish(), 0);
    // The extension's exit may already have made the application forget its connection.
    if (auto connection = app->currentConnection()) connection->invalidate();
    xpctest::drainReactor();
    ::unsetenv(platform::kMainBundleEnv);
}

}  // namespace
}  // namespace kiv
