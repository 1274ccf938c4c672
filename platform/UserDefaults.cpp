#include "platform/UserDefaults.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/Bundle.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UserPaths.hpp"

namespace platform {
namespace {

constexpr std::size_t kMaxFileBytes = 4u << 20;
constexpr int kMaxDepth = 64;  // deeper files are refused: printing them again recurses
constexpr const char* kFallbackDomain = "com.kiv.veltrix";

const SystemLog& defaultsLog() {
    static NoDestructor<SystemLog> log("com.veltrix.kiv", "defaults");
    return *log;
}

std::string errnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool usableDomain(const std::string& domain) {
    return !domain.empty() && domain.find('/') == std::string::npos && domain.find('\0') == std::string::npos;
}

// What tells one version of the file from the next: each write renames a new inode into place.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long seconds = 0;
    long nanoseconds = 0;
    bool operator==(const Identity&) const = default;
};

Identity identityOf(const std::filesystem::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) return {};
    return {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

nlohmann::json parseObject(const std::string& text) {
    bool tooDeep = false;
    auto parsed = nlohmann::json::parse(
        text,
        [&](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > kMaxDepth) tooDeep = true;
            return !tooDeep;
        },
        /*allow_exceptions=*/false);
    if (tooDeep || parsed.is_discarded() || !parsed.is_object()) {
        return nlohmann::json(nlohmann::json::value_t::discarded);
    }
    return parsed;
}

// The persistent domain in `file`; an empty object for a missing, unreadable or malformed file.
nlohmann::json load(const std::filesystem::path& file) {
    const FileRead read = readWholeFile(file, kMaxFileBytes);
    if (read.status == FileRead::Status::missing) return nlohmann::json::object();
    if (read.status == FileRead::Status::failed) {
        defaultsLog().error("Ignoring the preferences in " + read.error);
        return nlohmann::json::object();
    }
    auto values = parseObject(read.content);
    if (values.is_discarded()) {
        defaultsLog().error("Ignoring the preferences in " + file.string() +
                            ": not a JSON object (or nested more than " + std::to_string(kMaxDepth) +
                            " deep)");
        return nlohmann::json::object();
    }
    return values;
}

// The folder of the preferences, made 0700 when missing (its parents with the usual mode).
std::string makeFolder(const std::filesystem::path& folder) {
    std::error_code error;
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), error);
    if (error) return folder.parent_path().string() + ": " + error.message();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errnoText(folder.string(), errno);
    return {};
}

std::string decimalText(const nlohmann::json& number) {
    if (!number.is_number_float()) return number.dump();
    const double value = number.get<double>();
    // Whole numbers read as integers ("3", not "3.0"), also past the range of long long.
    if (std::isfinite(value) && value == std::trunc(value)) {
        if (std::fabs(value) < 9.2e18) return std::to_string(static_cast<long long>(value));
        char buffer[400];
        std::snprintf(buffer, sizeof buffer, "%.0f", value);
        return buffer;
    }
    return number.dump();
}

bool truthfulText(const std::string& text) {
    std::string lower;
    for (const char c : text) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "yes" || lower == "true") return true;
    return !text.empty() && text[0] >= '1' && text[0] <= '9';
}

}  // namespace

struct UserDefaults::State {
    State(std::string domainName, std::filesystem::path path)
        : domain(std::move(domainName)), file(std::move(path)) {}

    const std::string domain;
    const std::filesystem::path file;  // empty: the user has no home, nothing is kept

    // Everything below is guarded by mutex; the members are mutable because getters take in
    // what others wrote.
    mutable std::mutex mutex;
    mutable nlohmann::json values = nlohmann::json::object();
    mutable std::optional<Identity> seen;  // of the file that `values` came from
    std::map<std::string, nlohmann::json> registered;
    bool lastWriteFailed = false;

    // Holding mutex. `always`: read the file whatever its identity says (under the domain's lock,
    // where a write of another process within one tick of the file clock must not be missed).
    void refresh(bool always = false) const {
        if (file.empty()) return;
        const Identity now = identityOf(file);
        if (!always && seen && *seen == now) return;
        seen = now;
        values = load(file);
    }

    // Holding mutex.
    std::optional<nlohmann::json> lookup(const std::string& key) const {
        refresh();
        if (const auto it = values.find(key); it != values.end()) return *it;
        if (const auto it = registered.find(key); it != registered.end()) return it->second;
        return std::nullopt;
    }

    // Holding mutex. `change` edits the domain and says whether it changed anything.
    void write(const std::function<bool(nlohmann::json&)>& change) {
        if (file.empty()) {
            change(values);
            fail("Cannot keep the preferences of " + domain + ": the user has no home folder");
            return;
        }
        if (auto failure = makeFolder(file.parent_path()); !failure.empty()) {
            change(values);
            fail("Cannot keep the preferences of " + domain + ": " + failure);
            return;
        }
        // Other processes write the same file; the lock makes their read-change-write steps
        // take turns so that no one's change is lost.
        const std::string lockPath = file.string() + ".lock";
        FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        int status = -1;
        if (lock.get() >= 0) {
            do status = ::flock(lock.get(), LOCK_EX);
            while (status != 0 && errno == EINTR);
        }
        if (status != 0) {
            const int error = errno;
            refresh();
            change(values);
            fail("Cannot lock the preferences of " + domain + ": " + errnoText(lockPath, error));
            return;
        }
        refresh(true);
        if (!change(values)) return;
        const std::string text = values.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        if (auto failure = writeFileAtomically(file, text, 0600); !failure.empty()) {
            fail("Cannot write the preferences of " + domain + ": " + failure);
            return;
        }
        lastWriteFailed = false;
        seen = identityOf(file);
    }

    void fail(const std::string& message) {
        lastWriteFailed = true;
        defaultsLog().error(message);
    }
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, std::weak_ptr<UserDefaults>> instances;
};

}  // namespace

UserDefaults::UserDefaults(std::unique_ptr<State> state) : state_(std::move(state)) {}
UserDefaults::~UserDefaults() = default;

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    std::string domain = Bundle::main().bundleIdentifier().value_or("");
    if (!usableDomain(domain)) domain = kFallbackDomain;
    return suite(domain);
}

std::shared_ptr<UserDefaults> UserDefaults::suite(const std::string& suiteName) {
    if (!usableDomain(suiteName)) return nullptr;
    const auto folder = preferencesDirectory();
    std::filesystem::path file = folder ? *folder / (suiteName + ".json") : std::filesystem::path();
    static NoDestructor<Registry> registry;
    std::lock_guard guard(registry->mutex);
    auto& slot = registry->instances[{suiteName, file.string()}];
    if (auto alive = slot.lock()) return alive;
    std::erase_if(registry->instances, [](const auto& entry) { return entry.second.expired(); });
    auto made = atPath(suiteName, file.string());
    registry->instances[{suiteName, file.string()}] = made;
    return made;
}

std::shared_ptr<UserDefaults> UserDefaults::atPath(std::string domain, std::string file) {
    // The constructor is private; make_shared cannot reach it.
    return std::shared_ptr<UserDefaults>(
        new UserDefaults(std::make_unique<State>(std::move(domain), std::move(file))));
}

const std::string& UserDefaults::domain() const { return state_->domain; }

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    if (!value) return std::nullopt;
    if (value->is_string()) return value->get<std::string>();
    if (value->is_number()) return decimalText(*value);
    return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    if (!value) return false;
    if (value->is_boolean()) return value->get<bool>();
    if (value->is_number_float()) return value->get<double>() != 0.0;
    if (value->is_number_unsigned()) return value->get<unsigned long long>() != 0;
    if (value->is_number_integer()) return value->get<long long>() != 0;
    if (value->is_string()) return truthfulText(value->get_ref<const std::string&>());
    return false;
}

long long UserDefaults::integerForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    if (!value) return 0;
    if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
    if (value->is_number_unsigned()) {
        const auto number = value->get<unsigned long long>();
        return number > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
                   ? std::numeric_limits<long long>::max()
                   : static_cast<long long>(number);
    }
    if (value->is_number_integer()) return value->get<long long>();
    if (value->is_number_float()) {
        const double number = value->get<double>();
        if (std::isnan(number)) return 0;
        if (number >= 9.2e18) return std::numeric_limits<long long>::max();
        if (number <= -9.2e18) return std::numeric_limits<long long>::min();
        return static_cast<long long>(number);
    }
    return 0;
}

std::optional<nlohmann::json> UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard guard(state_->mutex);
    return state_->lookup(key);
}

nlohmann::json UserDefaults::dictionaryRepresentation() const {
    std::lock_guard guard(state_->mutex);
    state_->refresh();
    return state_->values;
}

void UserDefaults::setString(const std::string& key, const std::string& value) { setObject(key, value); }

void UserDefaults::setBool(const std::string& key, bool value) { setObject(key, value); }

void UserDefaults::setObject(const std::string& key, nlohmann::json value) {
    if (value.is_null()) return removeObject(key);
    std::lock_guard guard(state_->mutex);
    state_->write([&](nlohmann::json& values) {
        auto& slot = values[key];
        if (slot == value) return false;
        slot = std::move(value);
        return true;
    });
}

void UserDefaults::removeObject(const std::string& key) {
    std::lock_guard guard(state_->mutex);
    state_->write([&](nlohmann::json& values) { return values.erase(key) > 0; });
}

void UserDefaults::registerDefaults(const std::map<std::string, nlohmann::json>& defaults) {
    std::lock_guard guard(state_->mutex);
    for (const auto& [key, value] : defaults) state_->registered[key] = value;
}

bool UserDefaults::synchronize() {
    std::lock_guard guard(state_->mutex);
    state_->refresh();
    return !state_->lastWriteFailed;
}

}  // namespace platform
