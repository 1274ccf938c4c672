#include "platform/sysext/SupervisedExtensionHost.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <utility>

#include "platform/AtomicFile.hpp"
#include "platform/Clock.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NoDestructor.hpp"
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
    std::filesystem::path executable;
    pid_t pid = 0;
    FileDescriptor pidfd;
    std::uint64_t token = 0;
    bool child = false;
    bool stopping = false;
    std::chrono::nanoseconds startedAt{};
    std::vector<std::function<void()>> afterExit;
    // The watchdog's socket (owned by its reactor handler) and the beats since the last check.
    int notifyFd = -1;
    std::uint64_t notifyToken = 0;
    std::uint64_t beats = 0;
};

struct SupervisedExtensionHost::Cleanup {
    pid_t pid = 0;
    FileDescriptor pidfd;
    std::uint64_t token = 0;
    std::function<void()> then;
};

namespace {

// Never destroyed: a child's exit may still be handled on a queue worker while the process exits.
const SystemLog& hostLog() {
    static NoDestructor<SystemLog> log("com.kiv.veltrix", "SystemExtensions");
    return *log;
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

// The longest notification taken: sd_notify's lines are short, and the socket is anyone's to send to.
constexpr std::size_t kMaxNotification = 4096;

enum class Notification { none, other, beat };

// Reads one datagram of the watchdog's socket: a beat when it is the daemon's own (pid and uid
// from SO_PASSCRED) and holds the line WATCHDOG=1; none when nothing is left to read.
Notification readNotification(int fd, pid_t pid, uid_t uid) {
    std::array<char, kMaxNotification + 1> text{};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)> control{};
    iovec part{text.data(), text.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t length = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
    if (length < 0) return Notification::none;
    bool daemons = false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET) continue;
        if (header->cmsg_type == SCM_RIGHTS) {
            // Descriptors nobody asked for: closed at once.
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof passed);
                ::close(passed);
            }
        } else if (header->cmsg_type == SCM_CREDENTIALS && header->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred sender{};
            std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
            daemons = sender.pid == pid && sender.uid == uid;
        }
    }
    if (!daemons || static_cast<std::size_t>(length) > kMaxNotification || (message.msg_flags & MSG_CTRUNC))
        return Notification::other;
    std::string_view rest(text.data(), static_cast<std::size_t>(length));
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        if (rest.substr(0, end) == "WATCHDOG=1") return Notification::beat;
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return Notification::other;
}

// Owns the watchdog's socket of one daemon; gone with its reactor registration.
class NotifyWatch final : public Reactor::Handler {
public:
    NotifyWatch(std::weak_ptr<SupervisedExtensionHost> host, DispatchQueuePtr queue, FileDescriptor socket,
                pid_t pid, std::function<void(SupervisedExtensionHost&)> onBeat)
        : host_(std::move(host)),
          queue_(std::move(queue)),
          socket_(std::move(socket)),
          pid_(pid),
          uid_(::getuid()),
          onBeat_(std::move(onBeat)) {}
    int fd() const { return socket_.get(); }
    void onEvents(std::uint64_t, std::uint32_t) override {
        // A bounded number per wake-up: a flood from elsewhere cannot hold the reactor. Each beat
        // is handed on before the next datagram is read, so they reach the queue in their order.
        for (int i = 0; i < 64; ++i) {
            const auto read = readNotification(socket_.get(), pid_, uid_);
            if (read == Notification::none) break;
            if (read != Notification::beat) continue;
            queue_->async([host = host_, onBeat = onBeat_] {
                if (auto self = host.lock()) onBeat(*self);
            });
        }
    }

private:
    std::weak_ptr<SupervisedExtensionHost> host_;
    DispatchQueuePtr queue_;
    FileDescriptor socket_;
    pid_t pid_;
    uid_t uid_;
    std::function<void(SupervisedExtensionHost&)> onBeat_;
};

// A datagram socket in the abstract namespace under a random name, taking senders' credentials;
// its name for NOTIFY_SOCKET ("@..."), empty when it cannot be made.
std::string openNotifySocket(FileDescriptor& socket) {
    socket = FileDescriptor(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    std::array<unsigned char, 12> random{};
    if (socket.get() < 0 ||
        ::getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size()))
        return {};
    std::string name = "kiv-watchdog-";
    for (const unsigned char byte : random) {
        name += "0123456789abcdef"[byte >> 4];
        name += "0123456789abcdef"[byte & 15];
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int on = 1;
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::setsockopt(socket.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
        return {};
    }
    return "@" + name;
}

// The process's environment, without a service manager's watchdog variables (the
// application's own, when it runs as a unit).
std::vector<std::string> ownEnvironment() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view variable(*entry);
        if (variable.starts_with("NOTIFY_SOCKET=") || variable.starts_with("WATCHDOG_USEC=") ||
            variable.starts_with("WATCHDOG_PID="))
            continue;
        environment.emplace_back(variable);
    }
    return environment;
}

// A daemon's environment: `own`, with the host's watchdog variables when given.
std::vector<std::string> daemonEnvironment(std::vector<std::string> environment,
                                           const std::string& notifySocket,
                                           std::chrono::nanoseconds interval) {
    if (!notifySocket.empty()) {
        environment.push_back("NOTIFY_SOCKET=" + notifySocket);
        environment.push_back(
            "WATCHDOG_USEC=" +
            std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(interval).count()));
    }
    return environment;
}

// Starts `arguments` in a session of its own, signals unblocked, standard input from /dev/null and
// its output to `output` when given; the failure's text, empty on success.
std::string spawn(std::vector<std::string> arguments, std::vector<std::string> environment,
                  const std::optional<std::filesystem::path>& output, pid_t& pid) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output->c_str(),
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
    const int rc = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc == 0 ? std::string() : arguments.front() + ": " + std::strerror(rc);
}

}  // namespace

std::shared_ptr<SupervisedExtensionHost> SupervisedExtensionHost::make(Options options) {
    return std::make_shared<SupervisedExtensionHost>(std::move(options));
}

SupervisedExtensionHost::SupervisedExtensionHost(Options options)
    : options_(std::move(options)),
      registryFolder_(options_.registryFolder.value_or(defaultRegistryFolder())),
      environment_(ownEnvironment()),
      queue_(makeSerialQueue("SupervisedExtensionHost.queue")) {
    if (!options_.locate) options_.locate = [](std::string_view id) { return findSystemExtension(id); };
}

SupervisedExtensionHost::~SupervisedExtensionHost() {
    // The daemons outlive the application, as system extensions do; only the watches end.
    for (auto& running : running_) {
        if (running->token) Reactor::instance().remove(running->token, running->pidfd.get());
        if (running->notifyToken) Reactor::instance().remove(running->notifyToken, running->notifyFd);
    }
    for (auto& cleanup : cleanups_) {
        if (cleanup->token) Reactor::instance().remove(cleanup->token, cleanup->pidfd.get());
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
    // The watchdog's socket, before the spawn: the daemon is told its name.
    FileDescriptor notifySocket;
    std::string notifyName;
    if (options_.watchdogInterval.count() > 0) {
        notifyName = openNotifySocket(notifySocket);
        if (notifyName.empty())
            hostLog().error(std::string("No watchdog for the extension: ") + std::strerror(errno));
    }
    pid_t pid = -1;
    if (auto failure = spawn(std::move(arguments),
                             daemonEnvironment(environment_, notifyName, options_.watchdogInterval),
                             options_.outputFile, pid);
        !failure.empty()) {
        return failure;
    }

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
    Running& running = watch(properties.bundleIdentifier, pid, pidfd, true);
    running.executable = properties.executable;
    if (!notifyName.empty()) {
        auto handler =
            std::make_shared<NotifyWatch>(weak_from_this(), queue_, std::move(notifySocket), pid,
                                          [pid](SupervisedExtensionHost& host) { host.onBeat(pid); });
        running.notifyFd = handler->fd();
        running.notifyToken = Reactor::instance().add(running.notifyFd, EPOLLIN, handler);
        if (running.notifyToken != 0) checkBeats(pid);
    }
    hostLog().notice("Started " + properties.executable.string() + " (pid " + std::to_string(pid) + ")");
    notify(Event::started, pid);
    return {};
}

void SupervisedExtensionHost::onBeat(pid_t pid) {
    for (const auto& running : running_) {
        if (running->pid != pid) continue;
        ++running->beats;
        notify(Event::beat, pid);
    }
}

void SupervisedExtensionHost::checkBeats(pid_t pid) {
    std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
    queue_->asyncAfter(options_.watchdogInterval, [weak, pid] {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& running : self->running_) {
            if (running->pid != pid || running->stopping) continue;
            if (std::exchange(running->beats, 0) > 0) {
                self->checkBeats(pid);
                return;
            }
            hostLog().error(running->identifier + " (pid " + std::to_string(pid) +
                            ") has not said it lives for the watchdog's interval: it hangs, killing it");
            pidfdSignal(running->pidfd.get(), SIGKILL);
        }
    });
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
    watch(identifier, entry.pid, pidfd, false).executable = entry.properties.executable;
    return true;
}

SupervisedExtensionHost::Running& SupervisedExtensionHost::watch(const std::string& identifier, pid_t pid,
                                                                 int pidfd, bool child) {
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
    return *running_.back();
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
    std::shared_ptr<Running> running = std::move(*it);
    running_.erase(it);
    if (running->child) ::waitpid(pid, nullptr, WNOHANG);
    if (running->notifyToken) Reactor::instance().remove(running->notifyToken, running->notifyFd);
    running->notifyToken = 0;
    std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
    cleanUp(running->executable, [weak, running] {
        if (auto self = weak.lock()) self->afterExit(*running);
    });
}

void SupervisedExtensionHost::cleanUp(const std::filesystem::path& executable, std::function<void()> then) {
    if (options_.cleanupArguments.empty() || executable.empty()) {
        then();
        return;
    }
    std::vector<std::string> arguments{executable.string()};
    arguments.insert(arguments.end(), options_.cleanupArguments.begin(), options_.cleanupArguments.end());
    pid_t pid = -1;
    const std::string failure =
        spawn(arguments, daemonEnvironment(environment_, {}, {}), options_.outputFile, pid);
    const int pidfd = failure.empty() ? pidfdOpen(pid) : -1;
    if (pidfd < 0) {
        hostLog().error("Cannot clean up after " + executable.string() + ": " +
                        (failure.empty() ? std::string("pidfd_open: ") + std::strerror(errno) : failure));
        if (failure.empty()) ::waitpid(pid, nullptr, 0);
        then();
        return;
    }
    auto cleanup = std::make_unique<Cleanup>();
    cleanup->pid = pid;
    cleanup->pidfd = FileDescriptor(pidfd);
    cleanup->then = std::move(then);
    const auto ended = [pid](SupervisedExtensionHost& host) {
        const auto it = std::find_if(host.cleanups_.begin(), host.cleanups_.end(),
                                     [&](const auto& c) { return c->pid == pid; });
        if (it == host.cleanups_.end()) return;
        const auto done = std::move(*it);
        host.cleanups_.erase(it);
        ::waitpid(pid, nullptr, WNOHANG);
        done->then();
    };
    cleanup->token = Reactor::instance().add(
        pidfd, EPOLLIN, std::make_shared<PidfdWatch>(weak_from_this(), queue_, pidfd, ended));
    if (cleanup->token == 0) {
        ::waitpid(pid, nullptr, 0);
        cleanup->then();
        return;
    }
    cleanups_.push_back(std::move(cleanup));
    // A cleanup that hangs is killed: the host goes on in any case.
    std::weak_ptr<SupervisedExtensionHost> weak = weak_from_this();
    queue_->asyncAfter(options_.stopTimeout, [weak, pid] {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& c : self->cleanups_) {
            if (c->pid == pid) pidfdSignal(c->pidfd.get(), SIGKILL);
        }
    });
}

void SupervisedExtensionHost::afterExit(const Running& running) {
    const std::string& identifier = running.identifier;
    const pid_t pid = running.pid;
    if (running.stopping) {
        notify(Event::exited, pid);
        for (auto& then : running.afterExit) then();
        return;
    }
    // Exited on its own: started again while it stays registered. The observer hears of the exit
    // only once the restart is armed, so that whoever acts on the exit (a clock moved on) finds it.
    auto entry = readEntry(identifier);
    if (!entry) {
        notify(Event::exited, pid);
        return;
    }
    const bool quick = processClock()->monotonic() - running.startedAt < options_.stableAfter;
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
