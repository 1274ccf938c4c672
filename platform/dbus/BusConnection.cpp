#include "platform/dbus/BusConnection.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/Clock.hpp"
#include "platform/NoDestructor.hpp"
#include "platform/Reactor.hpp"
#include "platform/SystemLog.hpp"

namespace platform::dbus {
namespace {

const SystemLog& busLog() {
    static const SystemLog log("com.veltrix.kiv", "dbus");
    return log;
}

std::string errorText(int negativeErrno) {
    return std::strerror(negativeErrno < 0 ? -negativeErrno : negativeErrno);
}

std::uint64_t monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1000000u + std::uint64_t(now.tv_nsec) / 1000u;
}

// Messages handled per turn before the queue gets a say again: a flood of calls must not starve
// the rest of the main queue.
constexpr int kMessagesPerTurn = 64;

// The reply handler of an asynchronous call, freed with its slot.
struct PendingCall {
    ReplyHandler handler;
};

int replyTrampoline(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<PendingCall*>(userdata);
    if (call->handler) {
        auto handler = std::move(call->handler);
        handler(reply);
    }
    return 0;
}

void freePendingCall(void* userdata) { std::unique_ptr<PendingCall>(static_cast<PendingCall*>(userdata)); }

}  // namespace

// Registered with the reactor: readiness only wakes the connection's queue.
class BusConnection::Watch final : public Reactor::Handler {
public:
    Watch(std::weak_ptr<BusConnection> owner, DispatchQueuePtr queue)
        : owner_(std::move(owner)), queue_(std::move(queue)) {}
    // Reactor thread: touches nothing of the connection, only hands it a turn.
    void onEvents(std::uint64_t, std::uint32_t) override {
        queue_->async([owner = owner_] {
            if (auto self = owner.lock()) self->turn();
        });
    }

private:
    std::weak_ptr<BusConnection> owner_;
    DispatchQueuePtr queue_;
};

BusConnection::BusConnection(Key, sd_bus* bus, DispatchQueuePtr queue)
    : bus_(bus), queue_(std::move(queue)) {}

std::shared_ptr<BusConnection> BusConnection::open(const std::string& address, DispatchQueuePtr queue,
                                                   std::string* error) {
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    if (r < 0) {
        if (error) *error = "cannot create a bus connection: " + errorText(r);
        return nullptr;
    }
    // Owned from here on, so that every failure below closes it.
    auto connection = std::make_shared<BusConnection>(Key{}, raw, std::move(queue));
    if ((r = sd_bus_set_address(raw, address.c_str())) < 0 || (r = sd_bus_set_bus_client(raw, 1)) < 0 ||
        (r = sd_bus_negotiate_fds(raw, 0)) < 0 || (r = sd_bus_start(raw)) < 0) {
        if (error) *error = "cannot connect to the bus at " + address + ": " + errorText(r);
        return nullptr;
    }
    if (!connection->attach(error)) return nullptr;
    return connection;
}

std::optional<std::string> BusConnection::sessionBusAddress() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return std::string(address);
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string path = std::string(runtime) + "/bus";
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return "unix:path=" + path;
    }
    return std::nullopt;
}

std::string BusConnection::systemBusAddress() {
    if (const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); address && *address)
        return std::string(address);
    return "unix:path=/run/dbus/system_bus_socket";
}

bool BusConnection::attach(std::string* error) {
    fd_ = sd_bus_get_fd(bus_);
    if (fd_ < 0) {
        if (error) *error = "the bus connection has no descriptor: " + errorText(fd_);
        return false;
    }
    // One-shot: each readiness hands one turn to the queue, which arms the descriptor again for
    // what sd-bus waits for next.
    token_ = Reactor::instance().add(fd_, EPOLLIN | EPOLLOUT | EPOLLONESHOT,
                                     std::make_shared<Watch>(weak_from_this(), queue_));
    if (token_ == 0) {
        if (error) *error = std::string("cannot watch the bus connection: ") + std::strerror(errno);
        return false;
    }
    return true;
}

BusConnection::~BusConnection() {
    if (token_ != 0) Reactor::instance().remove(token_, fd_);
    if (bus_) sd_bus_close_unref(bus_);
}

bool BusConnection::callAsync(sd_bus_message* message, ReplyHandler handler,
                              std::uint64_t timeoutMicroseconds) {
    if (!bus_) return false;
    auto call = std::make_unique<PendingCall>(PendingCall{std::move(handler)});
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(bus_, &slot, message, replyTrampoline, call.get(), timeoutMicroseconds);
    if (r < 0) {
        busLog().error("bus call failed: " + errorText(r));
        return false;
    }
    // From here the slot owns the handler and frees it with itself.
    sd_bus_slot_set_destroy_callback(slot, freePendingCall);
    (void)call.release();
    sd_bus_slot_set_floating(slot, 1);  // the connection owns it: released after the reply
    sd_bus_slot_unref(slot);
    wake();
    return true;
}

bool BusConnection::send(sd_bus_message* message) {
    if (!bus_) return false;
    const int r = sd_bus_send(bus_, message, nullptr);
    if (r < 0) {
        busLog().error("bus send failed: " + errorText(r));
        return false;
    }
    wake();
    return true;
}

void BusConnection::wake() {
    if (turnQueued_) return;
    turnQueued_ = true;
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->turn();
    });
}

void BusConnection::turn() {
    turnQueued_ = false;
    if (!bus_) return;
    // Hold ourselves: a handler may drop the last outside reference.
    auto self = shared_from_this();
    for (int i = 0; i < kMessagesPerTurn; ++i) {
        const int r = sd_bus_process(bus_, nullptr);
        if (!bus_) return;
        if (r < 0) return closeBroken(r);
        if (r == 0) return rearm();
    }
    wake();  // more to do: after the rest of the queue had its turn
    rearm();
}

void BusConnection::rearm() {
    const int events = sd_bus_get_events(bus_);
    if (events < 0) return closeBroken(events);
    std::uint32_t wanted = EPOLLONESHOT;
    if (events & POLLIN) wanted |= EPOLLIN;
    if (events & POLLOUT) wanted |= EPOLLOUT;
    Reactor::instance().modify(token_, fd_, wanted);

    std::uint64_t until = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &until) < 0 || until == UINT64_MAX) return;
    const std::uint64_t now = monotonicMicroseconds();
    if (until <= now) return wake();  // due already (0: something is waiting to be processed)
    if (until == timerDeadline_) return;
    timerDeadline_ = until;
    const std::uint64_t generation = ++timerGeneration_;
    queue_->asyncAfter(std::chrono::microseconds(until - now), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || self->timerGeneration_ != generation) return;
        self->timerDeadline_ = UINT64_MAX;
        self->turn();
    });
}

void BusConnection::closeBroken(int error) {
    busLog().error("the bus connection broke: " + errorText(error));
    if (token_ != 0) Reactor::instance().remove(token_, fd_);
    token_ = 0;
    sd_bus_close_unref(bus_);
    bus_ = nullptr;
    if (auto handler = std::move(disconnectHandler_)) handler();
}

BusConnectionPtr sessionBus() {
    struct Holder {
        std::once_flag opened;
        BusConnectionPtr connection;
    };
    static NoDestructor<Holder> holder;
    // Opened once from whichever thread asks first; from then on it works on the main queue.
    std::call_once(holder->opened, [] {
        std::string error = "no session bus address";
        if (auto address = BusConnection::sessionBusAddress()) {
            holder->connection = BusConnection::open(*address, mainQueue(), &error);
        }
        if (!holder->connection)
            busLog().notice("no session bus (" + error + "): status item and notifications stay local");
    });
    return holder->connection;
}

BusConnectionPtr systemBus() {
    struct Holder {
        std::once_flag opened;
        BusConnectionPtr connection;
    };
    static NoDestructor<Holder> holder;
    std::call_once(holder->opened, [] {
        std::string error;
        holder->connection = BusConnection::open(BusConnection::systemBusAddress(), mainQueue(), &error);
        if (!holder->connection)
            busLog().notice("no system bus (" + error + "): sleep and wake go unnoticed");
    });
    return holder->connection;
}

}  // namespace platform::dbus
