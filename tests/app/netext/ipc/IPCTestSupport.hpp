#pragma once
// Both ends of the application-extension link in a test: a temporary run folder, an
// extension bundle (made the main bundle), a recording AppCommunication delegate and a
// capture of the system log.
#include <stdlib.h>

#include <fstream>
#include <memory>
#include <string>

#include "app/netext/ipc/IPCConnection.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/TestSupport.hpp"

namespace ipctest {

inline constexpr const char* kService = "com.test.kivdnsproxy";

// A bundle folder with an Info.plist written from `json`.
class TempBundle {
public:
    explicit TempBundle(const std::string& json) {
        char pattern[] = "/tmp/kivbundle.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        std::ofstream(path_ / "Info.plist") << json;
    }
    ~TempBundle() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    platform::Bundle bundle() const { return *platform::Bundle::atPath(path_); }

private:
    std::filesystem::path path_;
};

inline std::string extensionInfo(bool withDisplayName = true) {
    return std::string("{") + (withDisplayName ? R"("CFBundleDisplayName":"KIVDNSProxy",)" : "") +
           R"("NetworkExtension":{"NEMachServiceName":")" + kService + R"("}})";
}

class FakeApp final : public kiv::AppCommunication {
public:
    std::shared_ptr<xpctest::Recorder> calls = std::make_shared<xpctest::Recorder>();
    void proxyStoppedWithReason(std::int64_t reason) override {
        calls->add("stopped " + std::to_string(reason));
    }
    void connectionErrorWithReason(platform::ErrorObject reason) override {
        calls->add("error " + reason.domain + " " + std::to_string(reason.code));
    }
};

// Every system-log record while it lives, as "<subsystem>|<category>|<type>|<message>".
class LogRecorder {
public:
    LogRecorder()
        : capture_([records = records_](const platform::LogRecord& r) {
              records->add(r.subsystem + "|" + r.category + "|" + std::string(platform::logTypeName(r.type)) +
                           "|" + r.message);
          }) {}
    xpctest::Recorder& records() { return *records_; }

private:
    std::shared_ptr<xpctest::Recorder> records_ = std::make_shared<xpctest::Recorder>();
    platform::LogCapture capture_;
};

}  // namespace ipctest
