#pragma once
// Keeps the running application in step with files other processes write.
//
// Watches: each startObserving() watches one stored configuration file (config.json,
// device.json, root's copies of them). A watch follows the file object: the first replacement of
// the file (every save here is an atomic rename) is reported, and then the watch stays on the
// replaced file and reports nothing more, so the application's own saves never feed a loop. An
// event copies root's file over the user's when the user has none yet, re-reads device.json and
// posts deviceConfigEditedLocally. A file that cannot be opened is not watched, silently.
//
// Parameter file: every 10 seconds on the process clock the cookie parameter file ".kivcookie"
// (ConfigFileWriter's parameter folder, "/tmp" by default) is checked; when its modification time
// differs from the one last seen (any difference, an older time too) its KEY=VALUE lines go into
// the settings and InstallerHelper registers the device again. Only a regular file owned by root
// or by this process's user and writable by no one else is applied: "/tmp" is everyone's, and a
// file planted there by another user must not re-point the application at another server.
//
// Hold it in a shared_ptr: watches and the timer keep it weakly and stop acting once it is gone.
// Destroying it cancels every watch (their cancel handlers close the descriptors).
//
// Threads: main thread (the queue it is given); watch events and timer ticks arrive there.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/Injected.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "app/core/Settings.hpp"
#include "app/server/InstallerHelper.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FileWatch.hpp"

namespace kiv {

enum class WatchedFileKind { deviceJSON, configJSON, otherFile };
// "device.json", "config.json", "unknown".
std::string_view rawValue(WatchedFileKind kind);

class DirectoryObserver : public std::enable_shared_from_this<DirectoryObserver> {
public:
    // Asks for a new registration with the current settings; `completion` runs when it is done.
    using Reregister = std::function<void(std::function<void()> completion)>;

    // Where the files are; the defaults are the real ones.
    struct Locations {
        // The cookie parameter file: ConfigFileWriter's first parameter folder + ".kivcookie".
        std::filesystem::path parameterFile;
        // The folder of root's config.json and device.json (Utils); nothing when unknown.
        std::optional<std::filesystem::path> rootFolder;
        static Locations defaults();
    };

    static constexpr double tolerance = 2.0;       // seconds; timers here are exact
    static constexpr double timerInterval = 10.0;  // seconds

    // The registry's services, InstallerHelper's run(force: true), the main queue.
    DirectoryObserver();
    DirectoryObserver(Injected<NotificationPublisher> publisher, Injected<KIVLogger> logger,
                      Injected<Settings> settings, Reregister reregister, Locations locations,
                      platform::DispatchQueuePtr queue);
    ~DirectoryObserver();
    DirectoryObserver(const DirectoryObserver&) = delete;
    DirectoryObserver& operator=(const DirectoryObserver&) = delete;

    // Creates the file empty when missing (never through a symbolic link), (re)starts the
    // parameter-file timer, and watches the file when it can be opened.
    void startObserving(const std::filesystem::path& file);
    // One timer whatever the number of calls: each call replaces the previous one.
    void startTimer();

    void checkInstallerParameters();
    // True when the file exists, has a modification time and it differs from savedFileDate()
    // (which then takes it).
    bool parameterFileChanged(const std::filesystem::path& path);

    enum class ParameterFileRead { applied, unreadable, refused };
    // Applies the file's lines to the settings when the file passes the ownership checks above.
    ParameterFileRead readParameterFile(const std::filesystem::path& path);
    // The line format (app/core/ParameterParser.hpp).
    static void parseParameters(std::string_view text, Settings& settings);

    void handleFileEvent(const std::filesystem::path& file);
    // Root's config.json or device.json (by whole path: the file must lie in root's folder)
    // copied to the user's, which is never replaced.
    void copyRootFile(const std::filesystem::path& file);
    // By file name: "device.json", "config.json", anything else.
    static WatchedFileKind fileKind(const std::filesystem::path& file);
    void copyFile(const std::filesystem::path& from, const std::optional<std::filesystem::path>& to);

    // The descriptor of the most recently started watch: nothing before the first, -1 when its
    // file could not be opened.
    std::optional<int> fileDescriptor() const { return fileDescriptor_; }
    std::size_t watchCount() const { return watches_.size(); }
    platform::Clock::TimePoint savedFileDate() const { return savedFileDate_; }
    const Locations& locations() const { return locations_; }

private:
    void scheduleTick(std::uint64_t generation);
    void tick(std::uint64_t generation);

    std::optional<int> fileDescriptor_;
    // Every watch started, the most recent last.
    std::vector<platform::FileWatchPtr> watches_;
    std::uint64_t timerGeneration_ = 0;  // a tick of an older generation is a replaced timer's
    Injected<NotificationPublisher> _notificationPublisher;
    Injected<KIVLogger> _logger;
    Injected<Settings> _settings;
    Reregister reregister_;
    Locations locations_;
    platform::DispatchQueuePtr queue_;
    platform::Clock::TimePoint savedFileDate_;
};

}  // namespace kiv
