#include "platform/sysext/SupervisedExtensionHost.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/Clock.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/UserPaths.hpp"
#include "platform/sysext/ExtensionLocator.hpp"

extern char** environ;

namespace platform {

struct SupervisedExtensionHost::Entry {
    OSSystemExtensionProperties properties;
    pid_t pid = 0;
    unsigned long long startTime = 0;  // field 22 of /proc/<pid>/stat
};

struct SupervisedExtensionHost::Running {
    std::string identifier;
    pid_t pid = 0;
    FileDescriptor pidfd;
    std::uint64_t token = 0;
    bool child = false;
    bool stopping = false;
    std::chrono::nanoseconds startedAt{};
    std::vector<std::function<void()>> afterExit;
};

namespace {

const SystemLog& hostLog() {
    static SystemLog log("com.kiv.veltrix", "SystemExtensions");
    return log;
}

// Through syscall(2): the C library's declarations of these lack C linkage in some versions.
int pidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfdSignal(int pidfd, int signal) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

bool validIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.size() > 255 || identifier[0] == '.') return false;
    return std::all_of(identifier.begin(), identifier.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
               c == '-' || c == '_';
    });
}

std::filesystem::path defaultRegistryFolder() {
    if (const char* folder = std::getenv(kSystemExtensionRegistryEnv); folder && *folder) return folder;
    if (const auto home = userHomeDirectory()) return *home / ".local" / "state" / "kiv" / "systemextensions";
    return "/run/kiv/systemextensions";
}

// The start time of `pid` in clock ticks since boot; 0 when it is gone.
unsigned long long processStartTime(pid_t pid) {
    const FileRead read = readWholeFile("/proc/" + std::to_string(pid) + "/stat", 4096);
    if (read.status != FileRead::Status::read) return 0;
    // The name in parentheses may hold anything; the fields follow the last ')'.
    const auto close = read.content.rfind(')');
    if (close == std::string::npos) return 0;
    std::size_t at = close + 2;
    for (int field = 3; field < 22 && at < read.content.size(); ++field) {
        at = read.content.find(' ', at);
        if (at == std::string::npos) return 0;
        ++at;
    }
    return std::strtoull(read.content.c_str() + at, nullptr, 10);
}

nlohmann::json toJSON(const SupervisedExtensionHost::Entry& entry) {
    const auto& p = entry.properties;
    return {{"identifier", p.bundleIdentifier},     {"version", p.bundleVersion},
            {"shortVersion", p.bundleShortVersion}, {"url", p.url.string()},
            {"executable", p.executable.string()},  {"pid", entry.pid},
            {"startTime", entry.startTime}};
}

class PidfdWatch final : public Reactor::Handler {
public:
    PidfdWatch(std::weak_ptr<SupervisedExtensionHost> host, DispatchQueuePtr queue, int fd,
               std::function<void(SupervisedExtensionHost&)> onExit)
        : host_(std::move(host)), queue_(std::move(queue)), fd_(fd), onExit_(std::move(onExit)) {}
    void onEvents(std::uint64_t token, std::uint32_t) override {
        Reactor::instance().remove(token, fd_);
        queue_->async([host = host_, onExit = onExit_] {
            if (auto self = host.lock()) onExit(*self);
        });
    }

private:
    std::weak_ptr<SupervisedExtensionHost> host_;
    DispatchQueuePtr queue_;
    int fd_;
    std::function<void(SupervisedExtensionHost&)> onExit_;
};

}  // namespace

std::shared_ptr<SupervisedExtensionHost> SupervisedExtensionHost::make(Options options) {
    return std::make_shared<SupervisedExtensionHost>(std::move(options));
}

SupervisedExtensionHost::SupervisedExtensionHost(Options options)
    : options_(std::move(options)),
      registryFolder_(options_.registryFolder.value_or(defaultRegistryFolder())),
      queue_(makeSerialQueue("SupervisedExtensionHost.queue")) {
    if (!options_.locate) options_.locate = [](std::string_view id) { return findSystemExtension(id); };
}

SupervisedExtensionHost::~SupervisedExtensionHost() {
    // The daemons outlive the application, as system extensions do; only the watches end.
    for (auto& running : running_) {
        if (running->token) Reactor::instance().remove(running->token, running->pidfd.get());
    }
}

void SupervisedExtensionHost::setObserver(Observer observer) {
    queue_->sync([&] { observer_ = std::move(observer); });
}

void SupervisedExtensionHost::notify(Event event, pid_t pid) {
    if (observer_) observer_(event, pid);
}

std::filesystem::path SupervisedExtensionHost::entryPath(const std::string& identifier) const {
    return registryFolder_ / (identifier + ".json");
}

std::optional<SupervisedExtensionHost::Entry> SupervisedExtensionHost::readEntry(
    const std::string& identifier) const {
    const FileRead read = readWholeFile(entryPath(identifier), 64 * 1024);
    if (read.status != FileRead::Status::read) return std::nullopt;
    const auto json = nlohmann::json::parse(read.content, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    Entry entry;
    try {
        entry.properties.bundleIdentifier = json.at("identifier").get<std::string>();
        entry.properties.bundleVersion = json.at("version").get<std::string>();
        entry.properties.bundleShortVersion = json.at("shortVersion").get<std::string>();
        entry.properties.url = json.at("url").get<std::string>();
        entry.properties.executable = json.at("executable").get<std::string>();
        entry.pid = json.at("pid").get<pid_t>();
        entry.startTime = json.at("startTime").get<unsigned long long>();
    } catch (const nlohmann::json::exception&) {
        hostLog().error("Ignoring the malformed registry entry " + entryPath(identifier).string());
        return std::nullopt;
    }
    if (entry.properties.bundleIdentifier != identifier) return std::nullopt;
    return entry;
}

std::string SupervisedExtensionHost::writeEntry(const Entry& entry) const {
    std::error_code error;
    std::filesystem::create_directories(registryFolder_, error);
    if (error) return registryFolder_.string() + ": " + error.message();
    return writeFileAtomically(entryPath(entry.properties.bundleIdentifier), toJSON(entry).dump() + "\n",
                               0600);
}

void SupervisedExtensionHost::removeEntry(const std::string& identifier) const {
    std::error_code ignored;
    std::filesystem::remove(entryPath(identifier), ignored);
}

std::optional<pid_t> SupervisedExtensionHost::runningPid(const std::string& identifier) {
    std::optional<pid_t> pid;
    queue_->sync([&] {
        for (const auto& running : running_)
            if (running->identifier == identifier) pid = running->pid;
    });
    return pid;
}

void SupervisedExtensionHost::activate(std::shared_ptr<RequestReport> report) {
    queue_->async([self = shared_from_this(), report = std::move(report)] { self->activateOnQueue(report); });
}

void SupervisedExtensionHost::activateOnQueue(const std::shared_ptr<RequestReport>& report) {
    const std::string& identifier = report->request().identifier();
    if (!validIdentifier(identifier)) {
        report->failed(makeSystemExtensionError(OSSystemExtensionError::extensionMissingIdentifier,
                                                "Not an extension identifier: \"" + identifier + "\""));
        return;
    }
    const auto properties = options_.locate(identifier);
    if (!properties) {
        report->failed(makeSystemExtensionError(OSSystemExtensionError::extensionNotFound,
                                                "No extension " + identifier + " is installed (looked in $" +
                                                    kExtensionPathEnv + " and <prefix>/libexec/kiv)"));
        return;
    }
    const auto entry = readEntry(identifier);
    const bool running = std::any_of(running_.begin(), running_.end(),
                                     [&](const auto& r) { return r->identifier == identifier; });
    if (entry && (entry->properties.bundleVersion != properties->bundleVersion ||
                  entry->properties.bundleShortVersion != properties->bundleShortVersion ||
                  entry->properties.executable != properties->executable)) {
        std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
        report->askReplacement(
            entry->properties, *properties,
            [weak, report, old = *entry, properties = *properties](auto action) {
                auto self = weak.lock();
                if (!self) return;
                self->queue_->async([self, report, old, properties, action] {
                    if (action != OSSystemExtensionReplacementAction::replace) {
                        report->failed(makeSystemExtensionError(OSSystemExtensionError::requestCanceled,
                                                                "The replacement was declined"));
                        return;
                    }
                    self->adopt(old);
                    self->stop(old.properties.bundleIdentifier,
                               [self, report, properties] { self->startAndReport(properties, report); });
                });
            });
        return;
    }
    if (entry && (running || adopt(*entry))) {
        report->finished(OSSystemExtensionRequestResult::completed);
        return;
    }
    startAndReport(*properties, report);
}

void SupervisedExtensionHost::startAndReport(const OSSystemExtensionProperties& properties,
                                             const std::shared_ptr<RequestReport>& report) {
    const std::string failure = start(properties);
    if (!failure.empty()) {
        report->failed(makeSystemExtensionError(OSSystemExtensionError::unknown, failure));
        return;
    }
    report->finished(OSSystemExtensionRequestResult::completed);
}

std::string SupervisedExtensionHost::start(const OSSystemExtensionProperties& properties) {
    std::vector<std::string> arguments{properties.executable.string()};
    arguments.insert(arguments.end(), options_.arguments.begin(), options_.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options_.outputFile) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options_.outputFile->c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The daemon is no part of the application's terminal session, and it gets its signals:
    // the application blocks SIGINT and SIGTERM for its own signalfd.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return properties.executable.string() + ": " + std::strerror(rc);

    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        std::string failure = std::string("pidfd_open: ") + std::strerror(errno);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return failure;
    }
    Entry entry{properties, pid, processStartTime(pid)};
    if (std::string failure = writeEntry(entry); !failure.empty()) {
        pidfdSignal(pidfd, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(pidfd);
        return failure;
    }
    watch(properties.bundleIdentifier, pid, pidfd, true);
    hostLog().notice("Started " + properties.executable.string() + " (pid " + std::to_string(pid) + ")");
    notify(Event::started, pid);
    return {};
}

bool SupervisedExtensionHost::adopt(const Entry& entry) {
    const std::string& identifier = entry.properties.bundleIdentifier;
    for (const auto& running : running_)
        if (running->identifier == identifier) return true;
    if (entry.pid <= 0 || entry.startTime == 0) return false;
    const int pidfd = pidfdOpen(entry.pid);
    if (pidfd < 0) return false;
    // Checked after the pidfd is held, so the pid cannot be reused between check and watch.
    std::error_code error;
    const auto executable =
        std::filesystem::read_symlink("/proc/" + std::to_string(entry.pid) + "/exe", error);
    if (processStartTime(entry.pid) != entry.startTime || error ||
        executable != entry.properties.executable) {
        ::close(pidfd);
        return false;
    }
    watch(identifier, entry.pid, pidfd, false);
    return true;
}

void SupervisedExtensionHost::watch(const std::string& identifier, pid_t pid, int pidfd, bool child) {
    auto running = std::make_unique<Running>();
    running->identifier = identifier;
    running->pid = pid;
    running->pidfd = FileDescriptor(pidfd);
    running->child = child;
    running->startedAt = processClock()->monotonic();
    auto handler = std::make_shared<PidfdWatch>(
        weak_from_this(), queue_, pidfd,
        [identifier, pid](SupervisedExtensionHost& host) { host.onExit(identifier, pid); });
    running->token = Reactor::instance().add(pidfd, EPOLLIN, handler);
    if (running->token == 0)
        hostLog().error("Cannot watch pid " + std::to_string(pid) + ": " + std::strerror(errno));
    running_.push_back(std::move(running));
}

void SupervisedExtensionHost::stop(const std::string& identifier, std::function<void()> then) {
    auto it = std::find_if(running_.begin(), running_.end(),
                           [&](const auto& r) { return r->identifier == identifier; });
    if (it == running_.end()) {
        then();
        return;
    }
    Running& running = **it;
    running.stopping = true;
    running.afterExit.push_back(std::move(then));
    pidfdSignal(running.pidfd.get(), SIGTERM);
    std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
    const pid_t pid = running.pid;
    queue_->asyncAfter(options_.stopTimeout, [weak, identifier, pid] {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& r : self->running_) {
            if (r->identifier == identifier && r->pid == pid) {
                hostLog().error("pid " + std::to_string(pid) + " did not stop: killing it");
                pidfdSignal(r->pidfd.get(), SIGKILL);
            }
        }
    });
}

void SupervisedExtensionHost::onExit(const std::string& identifier, pid_t pid) {
    auto it = std::find_if(running_.begin(), running_.end(),
                           [&](const auto& r) { return r->identifier == identifier && r->pid == pid; });
    if (it == running_.end()) return;
    std::unique_ptr<Running> running = std::move(*it);
    running_.erase(it);
    if (running->child) ::waitpid(pid, nullptr, WNOHANG);
    if (running->stopping) {
        notify(Event::exited, pid);
        for (auto& then : running->afterExit) then();
        return;
    }
    // Exited on its own: started again while it stays registered. The observer hears of the exit
    // only once the restart is armed, so that whoever acts on the exit (a clock moved on) finds it.
    auto entry = readEntry(identifier);
    if (!entry) {
        notify(Event::exited, pid);
        return;
    }
    const bool quick = processClock()->monotonic() - running->startedAt < options_.stableAfter;
    int& count = quickExits_[identifier];
    count = quick ? count + 1 : 0;
    if (count > options_.restartLimit) {
        hostLog().error(identifier + " keeps exiting: not started again until it is activated again");
        count = 0;
        entry->pid = 0;
        entry->startTime = 0;
        (void)writeEntry(*entry);
        notify(Event::exited, pid);
        return;
    }
    hostLog().notice(identifier + " (pid " + std::to_string(pid) + ") exited: starting it again");
    std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
    queue_->asyncAfter(options_.restartDelay, [weak, identifier] {
        auto self = weak.lock();
        if (!self) return;
        const auto entry = self->readEntry(identifier);
        const bool running = std::any_of(self->running_.begin(), self->running_.end(),
                                         [&](const auto& r) { return r->identifier == identifier; });
        if (!entry || running) return;
        if (const std::string failure = self->start(entry->properties); !failure.empty())
            hostLog().error("Cannot start " + identifier + " again: " + failure);
    });
    notify(Event::exited, pid);
}

void SupervisedExtensionHost::deactivate(std::shared_ptr<RequestReport> report) {
    queue_->async([self = shared_from_this(), report = std::move(report)] {
        const std::string& identifier = report->request().identifier();
        const auto entry = validIdentifier(identifier) ? self->readEntry(identifier) : std::nullopt;
        if (!entry) {
            report->failed(makeSystemExtensionError(OSSystemExtensionError::extensionNotFound,
                                                    "No extension " + identifier + " is activated"));
            return;
        }
        self->adopt(*entry);
        // Forgotten first, so that its exit is not taken for a crash.
        self->removeEntry(identifier);
        self->stop(identifier, [report] { report->finished(OSSystemExtensionRequestResult::completed); });
    });
}

}  // namespace platform
