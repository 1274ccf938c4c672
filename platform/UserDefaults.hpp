#pragma once
// The user-defaults stand-in: a persistent dictionary per domain (a bundle identifier, or an app
// group's suite name), kept as one JSON object in <preferences>/<domain>.json (platform/UserPaths),
// with a registration domain that every getter falls back to.
//
// Values are JSON values (text, Boolean, number, array, object). Getters coerce as the original
// platform does: boolForKey reads true from a Boolean true, a non-zero number, or the texts "YES",
// "yes", "true", "TRUE" (any case of "yes"/"true") and a text starting with a non-zero digit;
// stringForKey reads a text, or a number as its decimal text, whole numbers without ".0" (a
// Boolean, array or object gives none); integerForKey reads a number (truncated, clamped) or a
// Boolean as 1/0.
//
// Persistence: every set/remove is written through at once: under an advisory lock of the
// domain (flock on "<domain>.json.lock"), the file is read again when it changed on disk (device,
// inode, size or modification time), the change is applied and the whole object is written
// atomically (platform/AtomicFile), mode 0600. Getters take in what another process wrote: they
// re-read the file when its identity changed since the last read. synchronize() does the same
// check at once and reports whether the last write succeeded. A file that is not a JSON object
// (or is over 4 MiB, nested more than 64 deep, or a symbolic link) is logged and read as empty.
// A user without a home keeps values in memory only; every write then counts as failed.
//
// Threads: any; every operation takes the domain's lock. Objects for one domain are shared:
// standard() and suite(name) hand out one instance per domain (and preferences folder) per
// process while someone holds it.
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

class UserDefaults {
public:
    // The domain of the main bundle's identifier (platform/Bundle), "com.kiv.veltrix" when the
    // bundle names none.
    static std::shared_ptr<UserDefaults> standard();
    // The domain `suiteName` (an app group); null for an empty name or one with a '/'.
    static std::shared_ptr<UserDefaults> suite(const std::string& suiteName);

    const std::string& domain() const;

    std::optional<std::string> stringForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;          // false when absent
    long long integerForKey(const std::string& key) const;  // 0 when absent, text, array or object
    // The raw value: the domain's own, else the registration domain's.
    std::optional<nlohmann::json> objectForKey(const std::string& key) const;
    // The persistent domain as it is (no registration values).
    nlohmann::json dictionaryRepresentation() const;

    void setString(const std::string& key, const std::string& value);
    void setBool(const std::string& key, bool value);
    void setObject(const std::string& key, nlohmann::json value);  // null: removeObject
    void removeObject(const std::string& key);

    // Values returned when the persistent domain has none; never written to disk. A later
    // registration of a key replaces the earlier one.
    void registerDefaults(const std::map<std::string, nlohmann::json>& defaults);

    // Takes in what others wrote. False when the last write of this object failed (logged).
    bool synchronize();

    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // For tests: a domain stored in `file`, not shared with standard()/suite().
    static std::shared_ptr<UserDefaults> atPath(std::string domain, std::string file);

private:
    struct State;
    explicit UserDefaults(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

using UserDefaultsPtr = std::shared_ptr<UserDefaults>;

}  // namespace platform
