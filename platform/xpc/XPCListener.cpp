#include "platform/xpc/XPCListener.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"
#include "platform/xpc/MutexGuarded.hpp"
#include "platform/xpc/XPCLogBudget.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace platform {

struct XPCListener::State {
    struct Fields {
        std::weak_ptr<XPCListenerDelegate> delegate;
        bool listening = false;
        bool invalidated = false;
        int fd = -1;
        std::uint64_t token = 0;
        std::string path;
        dev_t device = 0;  // identity of the socket file we bound, so that we
        ino_t inode = 0;   // never unlink a successor's
        std::string lastError;
        XPCListenerLimits limits;
        std::optional<gid_t> accessGroupId;  // the access group, when it exists
    };
    MutexGuarded<Fields> fields;
    // Spare descriptor given up when the process runs out of them, to accept and drop
    // the waiting connection instead of spinning on it. Reactor thread only.
    int spareFd = -1;
    SystemLog log{"com.veltrix.kiv", "xpc"};
    std::unique_ptr<XPCLogBudget> refusals;
    // What the peers' connections log about the peers' faults.
    std::shared_ptr<XPCLogBudget> peerFaults;
};

// The connections the listener has accepted and not yet seen closed.
struct XPCListener::Slots {
    struct Counts {
        std::size_t total = 0;
        std::map<uid_t, std::size_t> byUser;
    };
    MutexGuarded<Counts> counts;
};

struct XPCListener::SlotHold final : XPCConnectionSlot {
    SlotHold(std::shared_ptr<Slots> s, uid_t u) : slots(std::move(s)), uid(u) {}
    ~SlotHold() override {
        auto c = slots->counts.lock();
        --c->total;
        if (auto it = c->byUser.find(uid); it != c->byUser.end() && --it->second == 0) c->byUser.erase(it);
    }
    const std::shared_ptr<Slots> slots;
    const uid_t uid;
};

namespace {

constexpr std::size_t kPeerLinesPerMinute = 5;

std::optional<gid_t> groupNamed(const std::string& name) {
    std::vector<char> buffer(16 * 1024);
    group entry{};
    group* found = nullptr;
    while (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return std::nullopt;
    return found->gr_gid;
}

// Resolves the access group `group` (empty: none) into `gid` and gives the socket at
// `path` (when any) its owner group and mode; false with the reason in `why`.
bool applyAccess(const std::string& serviceName, const std::string& group, const std::string& path,
                 const SystemLog& log, std::optional<gid_t>& gid, std::string& why) {
    gid.reset();
    if (group.empty()) {
        // Any local process may connect, as to a system service.
        if (!path.empty() && ::chmod(path.c_str(), 0666) != 0) {
            why = "cannot set the mode of " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    gid = groupNamed(group);
    std::string problem = gid ? std::string() : "the group " + group + " does not exist";
    // A process that is neither privileged nor in the group cannot give it the socket:
    // then it serves only root, rather than nobody.
    if (gid && !path.empty() && ::chown(path.c_str(), static_cast<uid_t>(-1), *gid) != 0) {
        problem = "cannot give " + path + " to group " + group + ": " + std::strerror(errno);
        gid.reset();
    }
    if (!path.empty() && ::chmod(path.c_str(), gid ? 0660 : 0600) != 0) {
        why = "cannot set the mode of " + path + ": " + std::strerror(errno);
        return false;
    }
    if (gid) {
        log.notice("Service " + serviceName + " serves root and the members of group " + group);
    } else {
        log.error("Service " + serviceName + ": " + problem + "; only root may connect");
    }
    return true;
}

}  // namespace

struct XPCListener::ListenHandler final : Reactor::Handler {
    explicit ListenHandler(std::shared_ptr<XPCListener> l) : owner(std::move(l)) {}
    void onEvents(std::uint64_t, std::uint32_t) override { owner->acceptOnReactor(); }
    std::shared_ptr<XPCListener> owner;
};

XPCListener::XPCListener(Key, std::string serviceName)
    : serviceName_(std::move(serviceName)),
      queue_(makeSerialQueue("com.veltrix.kiv.xpc." + serviceName_ + ".listener")),
      state_(std::make_unique<State>()),
      slots_(std::make_shared<Slots>()) {
    state_->refusals = std::make_unique<XPCLogBudget>(kPeerLinesPerMinute,
                                                      "more refused connections to service " + serviceName_);
    state_->peerFaults = std::make_shared<XPCLogBudget>(
        kPeerLinesPerMinute, "more lines about faulty peers of service " + serviceName_);
}

XPCListener::~XPCListener() {
    if (state_->spareFd >= 0) ::close(state_->spareFd);
}

std::shared_ptr<XPCListener> XPCListener::makeWithMachServiceName(std::string serviceName) {
    return std::make_shared<XPCListener>(Key{}, std::move(serviceName));
}

void XPCListener::setDelegate(std::weak_ptr<XPCListenerDelegate> delegate) {
    state_->fields.lock()->delegate = std::move(delegate);
}

std::string XPCListener::lastError() { return state_->fields.lock()->lastError; }

void XPCListener::setLimits(XPCListenerLimits limits) {
    auto f = state_->fields.lock();
    if (!f->listening && !f->invalidated) f->limits = std::move(limits);
}

std::size_t XPCListener::connectionCount() const { return slots_->counts.lock()->total; }

namespace {

// Empty when the path is free for a new socket, else why not. A socket file that
// nobody listens on any more is a dead listener's and is removed.
std::string clearStaleSocket(const XPCServiceAddress& address) {
    struct stat st {};
    if (::lstat(address.path.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        return "cannot inspect " + address.path + ": " + std::strerror(errno);
    }
    if (!S_ISSOCK(st.st_mode)) return address.path + " exists and is not a socket";
    // Non-blocking, so that a live listener with a full backlog answers at once (EAGAIN).
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return std::string("cannot create a socket: ") + std::strerror(errno);
    const int rc =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address.address), sizeof address.address);
    const int saved = errno;
    ::close(probe);
    if (rc == 0 || saved == EAGAIN) return "another listener already serves " + address.path;
    if (saved != ECONNREFUSED && saved != ENOENT) {
        return "cannot probe " + address.path + ": " + std::strerror(saved);
    }
    if (::unlink(address.path.c_str()) != 0 && errno != ENOENT) {
        return "cannot remove the stale socket " + address.path + ": " + std::strerror(errno);
    }
    return {};
}

// The file a socket was bound at: removed when its owner goes, unless kept.
class BoundName {
public:
    explicit BoundName(std::string path) : path_(std::move(path)) {}
    ~BoundName() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    BoundName(BoundName&& other) noexcept : path_(std::exchange(other.path_, {})) {}
    BoundName& operator=(BoundName&&) = delete;
    void renamedTo(std::string path) { path_ = std::move(path); }
    void keep() { path_.clear(); }

private:
    std::string path_;
};

// A socket listening at its service's path; until kept, both go with it.
struct ListeningSocket {
    FileDescriptor fd;
    BoundName name;
    dev_t device = 0;  // identity of the socket file, so that we
    ino_t inode = 0;   // never unlink a successor's
};

// Makes the listening socket of `address`. It is bound under a hidden name and renamed into
// place once `setAccess` has given that file its group and mode and it listens: a peer never
// finds the name refusing (a client racing a restarted daemon would fail to connect), nor
// accepting with the wrong access. Nothing when that fails, with the reason in `why`; then
// neither name is left behind.
std::optional<ListeningSocket> listenHiddenThenRename(
    const XPCServiceAddress& address,
    const std::function<bool(const std::string& boundPath, std::string& why)>& setAccess, std::string& why) {
    const std::filesystem::path target(address.path);
    sockaddr_un bound = address.address;
    std::string boundPath =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(::getpid()));
    if (boundPath.size() >= sizeof bound.sun_path) {
        boundPath = address.path;  // no room for a longer name: made in place
    } else {
        std::memset(bound.sun_path, 0, sizeof bound.sun_path);
        std::memcpy(bound.sun_path, boundPath.data(), boundPath.size());
        ::unlink(boundPath.c_str());  // left by a process of ours that died, as its pid came back
    }
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        why = std::string("cannot create a socket: ") + std::strerror(errno);
        return std::nullopt;
    }
    // A failed bind made no file, and the name may be another's: nothing to remove.
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
        why = "cannot bind " + boundPath + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ListeningSocket socket{std::move(fd), BoundName(boundPath)};
    if (!setAccess(boundPath, why)) return std::nullopt;
    if (::listen(socket.fd.get(), SOMAXCONN) != 0 ||
        (boundPath != address.path && ::rename(boundPath.c_str(), address.path.c_str()) != 0)) {
        why = "cannot listen on " + address.path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    socket.name.renamedTo(address.path);
    struct stat st {};
    if (::stat(address.path.c_str(), &st) != 0) {
        why = "cannot listen on " + address.path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    socket.device = st.st_dev;
    socket.inode = st.st_ino;
    return std::optional<ListeningSocket>(std::move(socket));
}

}  // namespace

bool XPCListener::resume() {
    auto f = state_->fields.lock();
    if (f->listening) return true;
    auto fail = [&](const std::string& why) {
        f->lastError = "Cannot listen for service " + serviceName_ + ": " + why;
        state_->log.error(f->lastError);
        return false;
    };
    if (f->invalidated) return fail("the listener was invalidated");
    const XPCServiceAddress address = xpcServiceAddress(serviceName_);
    if (!address.error.empty()) return fail(address.error);

    std::error_code ec;
    const auto folder = std::filesystem::path(address.path).parent_path();
    std::filesystem::create_directories(folder, ec);
    if (ec) return fail("cannot create " + folder.string() + ": " + ec.message());
    if (auto why = clearStaleSocket(address); !why.empty()) return fail(why);

    std::string why;
    auto socket = listenHiddenThenRename(
        address,
        [&](const std::string& boundPath, std::string& problem) {
            return applyAccess(serviceName_, f->limits.accessGroup, boundPath, state_->log, f->accessGroupId,
                               problem);
        },
        why);
    if (!socket) return fail(why);
    const std::uint64_t token = Reactor::instance().add(socket->fd.get(), EPOLLIN,
                                                        std::make_shared<ListenHandler>(shared_from_this()));
    if (token == 0) return fail(std::string("cannot watch the socket: ") + std::strerror(errno));
    socket->name.keep();
    f->fd = socket->fd.release();
    f->token = token;
    f->path = address.path;
    f->device = socket->device;
    f->inode = socket->inode;
    f->listening = true;
    f->lastError.clear();
    return true;
}

bool XPCListener::resumeWithListeningSocket(int fd) {
    auto f = state_->fields.lock();
    if (f->listening) return true;
    auto fail = [&](const std::string& why) {
        f->lastError = "Cannot listen for service " + serviceName_ + ": " + why;
        state_->log.error(f->lastError);
        return false;
    };
    if (f->invalidated) return fail("the listener was invalidated");
    int type = 0;
    int listening = 0;
    sockaddr_storage local{};
    socklen_t typeLength = sizeof type;
    socklen_t listeningLength = sizeof listening;
    socklen_t localLength = sizeof local;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningLength) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return fail("descriptor " + std::to_string(fd) + " is no socket: " + std::strerror(errno));
    }
    if (type != SOCK_STREAM || listening == 0 || local.ss_family != AF_UNIX) {
        return fail("descriptor " + std::to_string(fd) + " is no listening Unix stream socket");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return fail(std::string("cannot configure the socket: ") + std::strerror(errno));
    }
    // The socket's file is the service manager's; its peers are still checked here.
    std::string why;
    applyAccess(serviceName_, f->limits.accessGroup, {}, state_->log, f->accessGroupId, why);
    const std::uint64_t token =
        Reactor::instance().add(fd, EPOLLIN, std::make_shared<ListenHandler>(shared_from_this()));
    if (token == 0) return fail(std::string("cannot watch the socket: ") + std::strerror(errno));
    f->fd = fd;
    f->token = token;
    f->path.clear();  // not ours to remove
    f->listening = true;
    f->lastError.clear();
    return true;
}

void XPCListener::invalidate() {
    int fd = -1;
    std::uint64_t token = 0;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    {
        auto f = state_->fields.lock();
        if (f->invalidated) return;
        f->invalidated = true;
        f->listening = false;
        f->delegate.reset();
        fd = std::exchange(f->fd, -1);
        token = std::exchange(f->token, 0);
        path = f->path;
        device = f->device;
        inode = f->inode;
    }
    if (fd < 0) return;
    // The name is freed at once, so that a successor can listen as soon as this returns;
    // the descriptor is closed on the reactor thread, which may be reading it.
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode)
        ::unlink(path.c_str());
    // The spare descriptor goes with the socket, not with the last reference to the
    // listener, which a queue may drop at any later time.
    auto close = [fd, token, self = shared_from_this()] {
        Reactor::instance().remove(token, fd);
        ::close(fd);
        if (self->state_->spareFd >= 0) ::close(std::exchange(self->state_->spareFd, -1));
    };
    auto& reactor = Reactor::instance();
    if (reactor.onReactorThread()) {
        close();
    } else {
        reactor.post(close);
    }
}

std::unique_ptr<XPCConnectionSlot> XPCListener::admit(const std::optional<XPCPeerCredentials>& peer,
                                                      std::string& why) {
    if (!peer) {
        why = "the kernel gave no credentials";
        return nullptr;
    }
    XPCListenerLimits limits;
    std::optional<gid_t> groupId;
    {
        auto f = state_->fields.lock();
        limits = f->limits;
        groupId = f->accessGroupId;
    }
    const bool root = peer->uid == 0;
    if (!limits.accessGroup.empty() && !root && peer->uid != ::geteuid()) {
        const bool member =
            groupId && (peer->gid == *groupId ||
                        std::find(peer->groups.begin(), peer->groups.end(), *groupId) != peer->groups.end());
        if (!member) {
            why = "not root and not in group " + limits.accessGroup;
            return nullptr;
        }
    }
    auto c = slots_->counts.lock();
    const std::size_t reserved = std::min(limits.rootOnlyConnections, limits.maxConnections);
    if (c->total >= limits.maxConnections) {
        why = "all " + std::to_string(limits.maxConnections) + " connections are in use";
        return nullptr;
    }
    if (!root && c->total >= limits.maxConnections - reserved) {
        why = "the " + std::to_string(reserved) + " connections left are kept for root";
        return nullptr;
    }
    const auto it = c->byUser.find(peer->uid);
    const std::size_t held = it != c->byUser.end() ? it->second : 0;
    if (!root && held >= limits.maxConnectionsPerUser) {
        why = "the user holds " + std::to_string(held) + " connections already";
        return nullptr;
    }
    ++c->byUser[peer->uid];
    ++c->total;
    return std::make_unique<SlotHold>(slots_, peer->uid);
}

void XPCListener::logRefusal(const std::string& line) {
    state_->refusals->log(state_->log, LogType::defaultType, line);
}

void XPCListener::acceptOnReactor() {
    int listenFd = -1;
    XPCAcceptLimits limits;
    {
        auto f = state_->fields.lock();
        if (!f->listening) return;
        listenFd = f->fd;  // closed only on the reactor thread
        limits = f->limits.perConnection;
    }
    if (state_->spareFd < 0) state_->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (int accepted = 0; accepted < 64; ++accepted) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int saved = errno;
            if (saved == EINTR || saved == ECONNABORTED) continue;
            if (saved == EAGAIN || saved == EWOULDBLOCK) return;
            state_->log.error("Cannot accept a connection for service " + serviceName_ + ": " +
                              std::strerror(saved));
            if ((saved == EMFILE || saved == ENFILE) && state_->spareFd >= 0) {
                ::close(state_->spareFd);
                const int dropped = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (dropped >= 0) ::close(dropped);
                state_->spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
            return;
        }
        auto peer = XPCConnection::readPeerCredentials(fd);
        std::string why;
        auto slot = admit(peer, why);
        if (!slot) {
            ::close(fd);
            logRefusal("Refused a connection to service " + serviceName_ +
                       (peer ? " from uid " + std::to_string(peer->uid) + " pid " + std::to_string(peer->pid)
                             : std::string()) +
                       ": " + why);
            continue;
        }
        offer(XPCConnection::makeAccepted(serviceName_, fd, std::move(peer), limits, std::move(slot),
                                          state_->peerFaults));
    }
}

void XPCListener::offer(std::shared_ptr<XPCConnection> connection) {
    queue_->async([self = shared_from_this(), connection = std::move(connection)] {
        std::shared_ptr<XPCListenerDelegate> delegate;
        {
            auto f = self->state_->fields.lock();
            if (!f->invalidated) delegate = f->delegate.lock();
        }
        const bool keep = delegate && delegate->shouldAcceptNewConnection(*self, connection);
        if (keep) {
            connection->keptByDelegate();
        } else {
            connection->invalidate();
        }
    });
}

}  // namespace platform
