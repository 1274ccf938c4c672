#pragma once
// Shared by the device-server client tests: the core fixture (temporary KIV_HOME, recording
// logger, settings in the temporary folder) plus a made-up user and computer, the device-server
// API and manager wired to them, and the development device server as a child process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/CoreTestSupport.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/server/ComputerNameManager.hpp"
#include "app/server/DeviceConfigManager.hpp"
#include "app/server/DeviceServerAPI.hpp"
#include "platform/Dispatch.hpp"
#include "platform/NotificationCenter.hpp"

extern char** environ;

namespace kiv::testing {

using namespace std::chrono_literals;

// A made-up account "alice" (Alice Example) on host "box1.local", computer "Studio".
inline ComputerNameManager::Sources fakeIdentity(std::string login = "alice",
                                                 std::string host = "box1.local") {
    ComputerNameManager::Sources sources;
    sources.account = [login] { return platform::UserAccount{login, "Alice Example", "/home/" + login}; };
    sources.hostName = [host] { return host; };
    sources.computerName = [] { return std::string("Studio"); };
    sources.isLocalAccount = [](std::string_view) { return true; };
    sources.directoryRecord = [](std::string_view) -> std::optional<ComputerNameManager::DirectoryRecord> {
        return std::nullopt;
    };
    sources.environment = [](const char*) -> std::optional<std::string> { return std::nullopt; };
    return sources;
}

// One wired Ethernet and one Wi-Fi interface, kernel 6.1.
inline DeviceServerAPI::SystemFacts fakeFacts(std::vector<platform::NetworkInterfaceInfo> interfaces = {
                                                  {"eth0", false}, {"wlan0", true}}) {
    return DeviceServerAPI::SystemFacts{[interfaces] { return interfaces; },
                                        [] {
                                            return std::optional(platform::OSVersion{6, 1});
                                        }};
}

class ServerTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        settings_ = makeSettings();
        writer_ = makeWriter();
    }
    // Posts still queued for the main queue go to this test's centre: deliver them while it lives.
    void TearDown() override { drainMainQueue(); }
    static void drainMainQueue() {
        while (platform::runMainLoopOnce(std::chrono::milliseconds(0))) {
        }
    }

    template <class T>
    static Injected<T> hold(std::shared_ptr<T> service) {
        return Injected<T>([service] { return service; });
    }

    void set(XNCServerInfoSection key, const std::string& value) { settings_->set(value, key); }
    std::optional<std::string> stored(XNCServerInfoSection key) const {
        return settings_->userDefaults()->stringForKey(std::string(rawValue(key)));
    }

    std::shared_ptr<DeviceServerAPI> makeAPI(NetworkingOptions transport = {},
                                             DeviceServerAPI::SystemFacts facts = fakeFacts()) {
        return std::make_shared<DeviceServerAPI>(hold(settings_), hold<KIVLogger>(logger_), hold(identity_),
                                                 std::move(transport), std::move(facts));
    }
    std::shared_ptr<DeviceConfigManager> makeManager(std::shared_ptr<DeviceServerAPI> api) {
        return std::make_shared<DeviceConfigManager>(hold(settings_), hold(std::move(api)),
                                                     hold<KIVLogger>(logger_), hold(identity_),
                                                     hold(publisher_), hold(writer_));
    }

    bool logged(const std::string& fragment) const {
        for (const auto& message : logger_->messages()) {
            if (message.find(fragment) != std::string::npos) return true;
        }
        return false;
    }

    std::shared_ptr<Settings> settings_;
    std::shared_ptr<ConfigFileWriter> writer_;
    std::shared_ptr<ComputerNameManager> identity_ = std::make_shared<ComputerNameManager>(fakeIdentity());
    platform::NotificationCenter center_;
    std::shared_ptr<NotificationPublisher> publisher_ = std::make_shared<NotificationPublisher>(&center_);
};

// tools/kiv-device-server on 127.0.0.1, port 0, with its own CA, stopped by the destructor.
class DeviceServerProcess {
public:
    explicit DeviceServerProcess(const std::filesystem::path& folder, std::vector<std::string> options = {}) {
        std::vector<std::string> args{"/usr/bin/python3",
                                      KIV_SOURCE_DIR "/tools/kiv-device-server",
                                      "serve",
                                      "--store",
                                      (folder / "store.json").string(),
                                      "--cert-dir",
                                      (folder / "certs").string()};
        args.insert(args.end(), options.begin(), options.end());
        std::filesystem::create_directories(folder / "certs");
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        output_ = out[0];
        if (spawned != 0) throw std::runtime_error("cannot start the device server");
        // What it prints before serving: the port, then "name value" lines in any order.
        const auto ready = [&] {
            return values_.contains("url") && values_.contains("ca") && values_.contains("install-key");
        };
        for (std::string line = readLine(); !line.empty() && !ready(); line = readLine()) {
            const auto space = line.find(' ');
            values_[space == std::string::npos ? "port" : line.substr(0, space)] =
                space == std::string::npos ? line : line.substr(space + 1);
            if (ready()) break;
        }
        if (!ready()) {
            stop();
            throw std::runtime_error("the device server did not start");
        }
    }
    ~DeviceServerProcess() { stop(); }
    DeviceServerProcess(const DeviceServerProcess&) = delete;
    DeviceServerProcess& operator=(const DeviceServerProcess&) = delete;

    std::string value(const std::string& name) const {
        auto found = values_.find(name);
        return found == values_.end() ? std::string() : found->second;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (output_ >= 0) ::close(output_);
        output_ = -1;
    }

private:
    std::string readLine() {
        std::string line;
        char c;
        for (;;) {
            pollfd ready{output_, POLLIN, 0};
            if (::poll(&ready, 1, 30000) != 1 || ::read(output_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::map<std::string, std::string> values_;
};

}  // namespace kiv::testing
