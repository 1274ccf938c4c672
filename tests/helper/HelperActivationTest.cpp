// Socket activation: the helper serves a listening socket handed over as the service manager
// does (LISTEN_FDS, LISTEN_PID, descriptor 3) and leaves the socket file, which is not its own,
// in place when it stops.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "tests/helper/HelperServiceFixture.hpp"

namespace kiv::testing {
namespace {

class HelperActivationTest : public HelperServiceFixture {};

TEST_F(HelperActivationTest, ServesTheHandedOverSocket) {
    helper_.reset();
    fs::remove(socketPath());
    // A socket of our own, bound where the helper would bind, inherited by the child.
    const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath().string();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listening, 16), 0);
    ::chmod(path.c_str(), 0666);
    const std::string script = "exec 3<&" + std::to_string(listening) + "; LISTEN_FDS=1 LISTEN_PID=$$ exec " +
                               KIV_BINARY_DIR "/helper/kivhelper";
    // A run folder where the helper could not make a socket of its own: serving proves the adoption.
    fakes::Process activated({"/bin/sh", "-c", script},
                             {"KIV_ROOT=" + root_.string(), "KIV_RUN_DIR=/proc/kiv-no-such-folder",
                              "KIV_RESOLVE_BUS=" + busAddress_},
                             (folder_.path() / "activated.err").string());
    ::close(listening);
    ASSERT_TRUE(activated.waitForLine("serving")) << readText(folder_.path() / "activated.err");
    EXPECT_EQ(call(helper::selector::flushDNS, {platform::Bytes(externalForm())}).code, std::nullopt);
    activated.signal(SIGTERM);
    const auto status = activated.wait(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_TRUE(fs::exists(socketPath()));
}

TEST_F(HelperActivationTest, RefusesADescriptorThatIsNoListeningSocket) {
    helper_.reset();
    fakes::Process activated({"/bin/sh", "-c",
                              std::string("exec 3</dev/null; LISTEN_FDS=1 LISTEN_PID=$$ exec ") +
                                  KIV_BINARY_DIR "/helper/kivhelper"},
                             {"KIV_ROOT=" + root_.string()}, (folder_.path() / "activated.err").string());
    const auto status = activated.wait(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    EXPECT_NE(readText(folder_.path() / "activated.err").find("no socket"), std::string::npos);
}

}  // namespace
}  // namespace kiv::testing
