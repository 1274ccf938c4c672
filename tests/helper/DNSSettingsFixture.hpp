#pragma once
// Test support for the DNS settings modifier: a temporary root with its own resolv.conf, backups
// in a user-defaults file of the test, a fixed list of services, and the helper log captured.
// The modifier's environment points at all of it for the life of the object.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/TestFolders.hpp"
#include "helper/DNSSettingsModifier.hpp"
#include "platform/UserDefaults.hpp"

namespace kiv::tests {

// Every line the modifier logged; any thread.
class LogCapture {
public:
    void add(const std::string& line) {
        const std::lock_guard guard(mutex_);
        lines_.push_back(line);
    }
    std::vector<std::string> lines() const {
        const std::lock_guard guard(mutex_);
        return lines_;
    }
    bool contains(const std::string& text) const {
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

inline helper::NetworkService service(const std::string& name, int index, bool enabled = true) {
    return helper::NetworkService{name, name, index, enabled, false};
}

class DNSSettingsFixture {
public:
    explicit DNSSettingsFixture(std::vector<helper::NetworkService> services = {service("eth0", 2),
                                                                                service("wlan0", 3)})
        : services_(std::move(services)) {
        std::filesystem::create_directories(root() / "etc");
        backups_ = platform::UserDefaults::atPath("com.veltrix.kivHelper",
                                                  (folder_.path() / "backups.json").string());
        install();
    }
    ~DNSSettingsFixture() { helper::DNSModifyHelper::setEnvironment({}); }
    DNSSettingsFixture(const DNSSettingsFixture&) = delete;
    DNSSettingsFixture& operator=(const DNSSettingsFixture&) = delete;

    // Applies the environment again after a test changed a part of it.
    void install() {
        helper::DNSModifierEnvironment environment;
        environment.root = root();
        environment.busAddress = busAddress_.value_or("unix:path=" + (folder_.path() / "no-bus").string());
        environment.backups = backups_;
        environment.services = [services = services_] { return services; };
        environment.log = [log = log_, hook = logHook_](const std::string& line) {
            log->add(line);
            if (*hook) (*hook)(line);
        };
        helper::DNSModifyHelper::setEnvironment(environment);
    }

    std::filesystem::path root() const { return folder_.path() / "root"; }
    std::filesystem::path resolvConf() const { return root() / "etc" / "resolv.conf"; }
    std::filesystem::path lockFile() const { return root() / "run" / "KIVDNSModifier.lock"; }
    const kiv::fakes::TemporaryFolder& folder() const { return folder_; }
    LogCapture& log() { return *log_; }
    // Called with every log line, on the logging thread.
    void onLog(std::function<void(const std::string&)> hook) { *logHook_ = std::move(hook); }
    void setBusAddress(std::string address) {
        busAddress_ = std::move(address);
        install();
    }
    void setBackups(platform::UserDefaultsPtr backups) {
        backups_ = std::move(backups);
        install();
    }

    void write(const std::string& text) const {
        std::ofstream(resolvConf(), std::ios::binary | std::ios::trunc) << text;
        std::filesystem::permissions(resolvConf(), std::filesystem::perms(0644));
    }
    // The file's text; none when it is missing.
    std::optional<std::string> read() const { return readFile(resolvConf()); }
    static std::optional<std::string> readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The backup stored for the service, or none.
    std::optional<nlohmann::json> backup(const std::string& identifier) const {
        backups_->synchronize();
        return backups_->objectForKey(helper::DNSModifyHelper::backupKey(identifier));
    }

    // True when another holder has the walks' lock right now.
    bool lockHeldElsewhere() const {
        const int fd = ::open(lockFile().c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        return held;
    }

private:
    kiv::fakes::TemporaryFolder folder_{"kiv-dns"};
    std::vector<helper::NetworkService> services_;
    platform::UserDefaultsPtr backups_;
    std::optional<std::string> busAddress_;
    std::shared_ptr<LogCapture> log_ = std::make_shared<LogCapture>();
    std::shared_ptr<std::function<void(const std::string&)>> logHook_ =
        std::make_shared<std::function<void(const std::string&)>>();
};

}  // namespace kiv::tests
