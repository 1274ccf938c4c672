#pragma once
// Activation where no service manager runs the computer (containers, CI): the extension's
// daemon is started by this process and kept running, and a small registry remembers which
// extension is active, so that a later run of the application finds (and a deactivation stops)
// the daemon that an earlier run started.
//
// Registry: one JSON file per extension, "<folder>/<identifier>.json" (mode 0600), holding the
// extension's properties, its pid and the pid's start time (so a reused pid is never taken
// for the daemon). The folder is $KIV_SYSEXT_DIR, else <home>/.local/state/kiv/systemextensions.
//
// Activation finds the extension (platform/sysext/ExtensionLocator.hpp), asks the delegate when
// another version is registered, starts the daemon (own session, signals unblocked, standard
// input from /dev/null) and finishes with `completed`; an extension already running finishes
// at once. Deactivation sends SIGTERM, waits for the exit (SIGKILL after `stopTimeout`) and
// forgets the extension; one that is not registered fails with extensionNotFound. A daemon that
// exits on its own while active is started again after `restartDelay`; after `restartLimit`
// starts that each lived less than `stableAfter` the host gives up (logged).
//
// Whatever way a daemon ended, `cleanupArguments` run its executable once more (the DNS proxy's
// --clear-interception, as its unit's ExecStopPost), and only once that ended does the host
// go on (tell, restart, finish a deactivation): a daemon gone must not leave the computer's
// DNS sent nowhere.
//
// Watchdog: a daemon the host started is told, as systemd tells a unit with WatchdogSec=,
// NOTIFY_SOCKET (a datagram socket of the host's own, abstract, under a random name) and
// WATCHDOG_USEC (`watchdogInterval`), and must say WATCHDOG=1 (sd_notify) in every interval.
// One that says nothing for a whole interval hangs: it is killed (SIGKILL), cleaned up and
// started again like one that exited. Only datagrams of the daemon's own process (its pid and
// uid, from SO_PASSCRED) count; anyone else's, and any longer than 4 KiB, are dropped, and
// descriptors passed along are closed. A daemon found already running (started by an earlier
// run) is not watched.
//
// The daemon's exit is watched through a pidfd on the process's reactor; every timer runs on
// the process clock. Threads: any; the state lives on the host's serial queue.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/sysext/ExtensionHost.hpp"

namespace platform {

inline constexpr const char* kSystemExtensionRegistryEnv = "KIV_SYSEXT_DIR";

class SupervisedExtensionHost final : public ExtensionHost,
                                      public std::enable_shared_from_this<SupervisedExtensionHost> {
public:
    struct Options {
        std::optional<std::filesystem::path> registryFolder;  // default: see above
        std::vector<std::string> arguments;                   // after the daemon's path
        // Standard output and error of the daemon; inherited when absent.
        std::optional<std::filesystem::path> outputFile;
        std::function<std::optional<OSSystemExtensionProperties>(std::string_view)>
            locate;  // findSystemExtension
        std::chrono::nanoseconds restartDelay = std::chrono::seconds(1);
        std::chrono::nanoseconds stopTimeout = std::chrono::seconds(10);
        std::chrono::nanoseconds stableAfter = std::chrono::seconds(10);
        int restartLimit = 5;
        // Zero: no watchdog.
        std::chrono::nanoseconds watchdogInterval = std::chrono::seconds(30);
        std::vector<std::string> cleanupArguments{"--clear-interception"};
    };
    // beat: a WATCHDOG=1 taken.
    enum class Event { started, exited, beat };
    using Observer = std::function<void(Event, pid_t)>;

    static std::shared_ptr<SupervisedExtensionHost> make(Options options);
    ~SupervisedExtensionHost() override;

    void activate(std::shared_ptr<RequestReport> report) override;
    void deactivate(std::shared_ptr<RequestReport> report) override;

    const std::filesystem::path& registryFolder() const { return registryFolder_; }
    // The pid of the running daemon of `identifier` by the registry; nullopt when none runs.
    std::optional<pid_t> runningPid(const std::string& identifier);
    // Tests: told of every start, exit and beat of a daemon, on the host's queue.
    void setObserver(Observer observer);

    struct Entry;
    struct Running;
    explicit SupervisedExtensionHost(Options options);

private:
    std::filesystem::path entryPath(const std::string& identifier) const;
    std::optional<Entry> readEntry(const std::string& identifier) const;
    std::string writeEntry(const Entry& entry) const;
    void removeEntry(const std::string& identifier) const;

    void activateOnQueue(const std::shared_ptr<RequestReport>& report);
    void startAndReport(const OSSystemExtensionProperties& properties,
                        const std::shared_ptr<RequestReport>& report);
    // Starts the daemon and registers it; the failure's text, empty on success.
    std::string start(const OSSystemExtensionProperties& properties);
    // Follows an already running daemon of `entry`; false when it is not running.
    bool adopt(const Entry& entry);
    Running& watch(const std::string& identifier, pid_t pid, int pidfd, bool child);
    void stop(const std::string& identifier, std::function<void()> then);
    void onExit(const std::string& identifier, pid_t pid);
    // After the exit and the cleanup of `running`.
    void afterExit(const Running& running);
    // Runs the cleanup of `executable` (cleanupArguments), then `then`, on the queue.
    void cleanUp(const std::filesystem::path& executable, std::function<void()> then);
    void onBeat(pid_t pid);
    void checkBeats(pid_t pid);
    void notify(Event event, pid_t pid);

    Options options_;
    const std::filesystem::path registryFolder_;
    // The process's environment as the host was made: the daemons' is built from it on
    // the host's queue, where reading the live one would race a thread that changes it.
    const std::vector<std::string> environment_;
    const DispatchQueuePtr queue_;
    // On queue_ only.
    std::vector<std::unique_ptr<Running>> running_;
    Observer observer_;
    std::map<std::string, int> quickExits_;  // starts in a row that each lived briefly
    struct Cleanup;
    std::vector<std::unique_ptr<Cleanup>> cleanups_;
};

}  // namespace platform
