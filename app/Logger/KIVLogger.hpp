#pragma once
// The application's one logger. Services hold the shared instance (from the service registry) and
// call log() with a message and its LogLevel. The logger stamps the message with the application's
// version, gates it, hops to the main queue, sets up its destinations on first use (standard
// output and "KIV.log" in the application's folder) and hands the message to the logging facade.
//
// Threads: log() and the getters may be called from any thread; set-up and the calls into the
// facade run on the main queue, in submission order, so the main loop must turn for lines to
// appear. Own it through a std::shared_ptr: queued messages hold it weakly, and a message whose
// logger is gone by the time the main queue runs it is dropped.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "app/Logger/BaseDestination.hpp"
#include "app/Logger/ConsoleDestination.hpp"
#include "app/Logger/FileDestination.hpp"
#include "model/DeviceConfiguration.hpp"
#include "model/LogLevel.hpp"

namespace kiv {

class KIVLogger : public std::enable_shared_from_this<KIVLogger> {
public:
    static constexpr const char* kConsoleFormat = "$DHH:mm:ss$d $L $M";
    static constexpr const char* kFileFormat = "$Dyyyy-MM-dd HH:mm:ss.SSS$d $C$L$c: $M";
    static constexpr const char* kLogFileName = "KIV.log";

    // What the logger takes from the process; tests replace parts of it.
    struct Environment {
        std::optional<std::string> appVersion;    // the application's short version ("2.5.1")
        std::optional<std::string> buildVersion;  // the build number
        DestinationEnvironment destinations;      // clock and zone of the destinations
        // The application's folder ("KIV.log" goes in it); an error means no log file.
        std::function<std::filesystem::path(std::error_code&)> applicationDirectory;
    };
    // The build's version values (absent when the build names none) and the real folders.
    static Environment defaultEnvironment();

    KIVLogger();
    explicit KIVLogger(Environment environment);
    virtual ~KIVLogger();
    KIVLogger(const KIVLogger&) = delete;
    KIVLogger& operator=(const KIVLogger&) = delete;

    // production messages are logged at verbose, diagnose at debug; none and warning are dropped.
    // Never fails towards the caller; the caller does not wait.
    virtual void log(const std::string& message, model::LogLevel level);
    // Builds and attaches the console and file destinations. Main queue.
    virtual void setup();

    // Stores "LogDebug": removed for none, true for any other level. Reads and writes the user
    // defaults: log() calls it only when the held configuration's level differs from the last one
    // this logger stored, so that a log line costs no file I/O of its own.
    static void setLogLevel(model::LogLevel level);

    std::optional<model::DeviceConfiguration> deviceConfigResponse() const;
    void setDeviceConfigResponse(std::optional<model::DeviceConfiguration> configuration);
    bool hasSetup() const { return hasSetup_.load(); }
    model::LogLevel logLevel() const { return logLevel_; }

    const std::optional<std::string>& appVersion() const { return environment_.appVersion; }
    const std::optional<std::string>& buildVersion() const { return environment_.buildVersion; }
    // appVersion + " (" + buildVersion + ") :  ", an absent value giving empty text.
    std::string versionPrefix() const;
    // First component of appVersion; needs at least two components.
    std::optional<std::int64_t> majorVersion() const { return majorVersion(environment_.appVersion); }
    // Second component of appVersion; needs at least three components.
    std::optional<std::int64_t> minorVersion() const { return minorVersion(environment_.appVersion); }
    static std::optional<std::int64_t> majorVersion(const std::optional<std::string>& appVersion);
    static std::optional<std::int64_t> minorVersion(const std::optional<std::string>& appVersion);

    // The destinations made by setup(); null before it.
    std::shared_ptr<ConsoleDestination> consoleDestination() const;
    std::shared_ptr<FileDestination> fileDestination() const;

private:
    // What log() needs of the held configuration, taken when it is set.
    struct HeldLevel {
        bool configured = false;                      // a configuration is held
        std::optional<model::LogLevel> carriedLevel;  // its Kiv.logLevel
    };

    void emit(model::LogLevel gate, model::LogLevel level, const std::string& text);
    HeldLevel heldLevel() const;
    // setLogLevel(level) unless it was the last level stored through this logger.
    void storeLevelOnChange(model::LogLevel level);

    const Environment environment_;
    const model::LogLevel logLevel_ = model::LogLevel::production;
    std::atomic<bool> hasSetup_{false};

    mutable std::mutex mutex_;  // guards the members below
    std::optional<model::DeviceConfiguration> deviceConfigResponse_;
    HeldLevel held_;
    std::shared_ptr<ConsoleDestination> console_;
    std::shared_ptr<FileDestination> file_;

    // Held across the setter, so that concurrent log calls store levels in the order they saw them.
    std::mutex storedLevelMutex_;
    std::optional<model::LogLevel> storedLevel_;  // guarded by storedLevelMutex_
};

using KIVLoggerPtr = std::shared_ptr<KIVLogger>;

}  // namespace kiv
