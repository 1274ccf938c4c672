#pragma once
// Test fixture: the real kivhelper program serving a temporary root (product folder with
// config.ini and the log, rights database, local CA folder, a stand-in trust-store update that
// builds the CA bundle from the local CA folder) on a socket in a temporary run folder. Requests
// go over the real socket as raw frames, from this process or from a child under another user.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"
#include "helper/protocol/Authorization.hpp"
#include "helper/protocol/KIVHelperProtocol.hpp"
#include "platform/xpc/XPCWire.hpp"

namespace kiv::testing {

namespace fs = std::filesystem;

using kiv::fakes::readText;

inline void writeText(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms);
}

inline std::vector<std::uint8_t> externalForm() {
    helper::AuthorizationRef reference;
    helper::authorizationCreate(reference);
    return {reference.form.begin(), reference.form.end()};
}

inline constexpr const char* kInitialConfig =
    "[ApplicationSettings]\nLogDebug=false\nTrayType=2\n[XNCServerInfoSection]\nLocationKey=none\n";

// What came back for one request: the reply's error (nullopt: the reply was nil), or no reply.
struct Outcome {
    bool replied = false;
    std::optional<std::int64_t> code;  // the error's code when the reply carried one
};

class HelperServiceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Reachable by the other user of the refusal tests.
        fs::permissions(folder_.path(), fs::perms(0755));
        root_ = folder_.path() / "root";
        run_ = folder_.path() / "run";
        fs::create_directories(run_);
        fs::permissions(run_, fs::perms(0755));
        writeText(product() / "config.ini", kInitialConfig);
        writeText(product() / "kivHelper.log", "");
        writeRights(
            "com.veltrix.kivHelper.flushDNSwithAuthorization allow\n"
            "# every other command: root or the administrators\n"
            "com.veltrix.kivHelper.setLogDebug group:sudo\n"
            "com.veltrix.kivHelper.setTrayType group:sudo\n"
            "com.veltrix.kivHelper.writeLocation group:sudo\n"
            "com.veltrix.kivHelper.downloadCert group:sudo\n"
            "com.veltrix.kivHelper.importCert group:sudo\n"
            "com.veltrix.kivHelper.modifyDNS group:sudo\n"
            "com.veltrix.kivHelper.rollbackDNS group:sudo\n"
            "com.veltrix.kivHelper.modifyDNSForServices group:sudo\n"
            "com.veltrix.kivHelper.rollbackDNSForServices group:sudo\n");
        fs::create_directories(root_ / "usr/local/share/ca-certificates");
        fs::create_directories(root_ / "etc/ssl/certs");
        writeText(updateScript(),
                  "#!/bin/sh\ncat " + (root_ / "usr/local/share/ca-certificates").string() + "/*.crt > " +
                      bundle().string() + " 2>/dev/null\necho \"Updating certificates... done.\"\n",
                  fs::perms(0755));
        start();
    }

    void start() {
        std::vector<std::string> arguments = launcher_;
        arguments.push_back(KIV_BINARY_DIR "/helper/kivhelper");
        helper_ = std::make_unique<fakes::Process>(
            arguments,
            std::vector<std::string>{"KIV_ROOT=" + root_.string(), "KIV_RUN_DIR=" + run_.string(),
                                     "KIV_CA_UPDATE_COMMAND=" + updateScript().string(),
                                     "KIV_HOME=" + root_.string(), "HOME=" + root_.string(),
                                     "KIV_RESOLVE_BUS=" + busAddress_},
            (folder_.path() / "helper.err").string());
        ASSERT_TRUE(helper_->waitForLine("serving")) << readText(folder_.path() / "helper.err");
    }

    void writeRights(const std::string& text) { writeText(root_ / "etc/kiv/kivhelper.rights", text); }

    fs::path product() const { return root_ / "var/lib/kiv"; }
    fs::path bundle() const { return root_ / "etc/ssl/certs/ca-certificates.crt"; }
    fs::path updateScript() const { return folder_.path() / "update-ca-certificates"; }
    fs::path socketPath() const { return run_ / (std::string(helper::kHelperServiceName) + ".sock"); }
    std::string logText() const { return readText(product() / "kivHelper.log"); }

    // Connects, sends `frame` and reads one reply frame; as `uid` (and the same group id, no
    // supplementary groups) through a small client program when given.
    Outcome request(const std::string& frame, std::optional<uid_t> uid = std::nullopt) {
        std::string answer;
        if (!uid) {
            answer = exchange(frame);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            std::string hex;
            for (unsigned char c : frame) {
                hex += kHex[c >> 4];
                hex += kHex[c & 0xF];
            }
            fakes::Process client({"/usr/bin/python3", KIV_SOURCE_DIR "/tests/helper/raw_client.py",
                                   socketPath().string(), hex},
                                  {}, (folder_.path() / "client.err").string(), {true, *uid});
            const auto line = client.readLine(std::chrono::seconds(60));
            if (!line || *line == "-") return {};
            for (std::size_t i = 0; i + 1 < line->size(); i += 2) {
                answer += static_cast<char>(std::stoi(line->substr(i, 2), nullptr, 16));
            }
        }
        platform::XPCFrameReader reader;
        reader.append(answer.data(), answer.size());
        platform::XPCMessage message;
        std::string error;
        if (reader.next(message, error) != platform::XPCFrameReader::Status::message) return {};
        const auto* reply = std::get_if<platform::XPCReplyMessage>(&message);
        if (reply == nullptr || reply->arguments.size() != 1) return {};
        Outcome outcome{true, std::nullopt};
        if (const auto* e = reply->arguments[0].error()) outcome.code = e->code;
        return outcome;
    }

    Outcome call(const std::string& selector, platform::XPCArguments arguments,
                 std::optional<uid_t> uid = std::nullopt) {
        const auto frame = platform::encodeXPCFrame(
            platform::XPCCallMessage{selector, std::move(arguments), std::uint64_t{1}});
        if (!frame) return {};
        return request(*frame, uid);
    }

    std::string exchange(const std::string& frame) const {
        std::string answer;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socketPath().string();
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            std::size_t sent = 0;
            while (sent < frame.size()) {
                const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            pollfd ready{fd, POLLIN, 0};
            char chunk[4096];
            // Replies are small; the bound only guards against a helper that never answers.
            while (::poll(&ready, 1, 30000) == 1) {
                const ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n <= 0) break;
                answer.append(chunk, static_cast<std::size_t>(n));
                if (answer.size() >= 4) {
                    const auto* b = reinterpret_cast<const unsigned char*>(answer.data());
                    const std::size_t length = (std::size_t(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
                    if (answer.size() >= 4 + length) break;
                }
            }
        }
        ::close(fd);
        return answer;
    }

    fakes::TemporaryFolder folder_{"kiv-helper"};
    fs::path root_;
    fs::path run_;
    std::string busAddress_ = "unix:path=/nonexistent/kiv-test-bus";
    std::unique_ptr<fakes::Process> helper_;
    // Runs the helper through this command (e.g. prlimit) when set; it must exec the helper.
    std::vector<std::string> launcher_;
};

}  // namespace kiv::testing
