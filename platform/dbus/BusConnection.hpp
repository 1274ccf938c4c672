#pragma once
// A client connection to a D-Bus message bus (sd-bus) that waits on the process's one reactor and
// does all its work on one dispatch queue (the main queue unless told otherwise): the reactor only
// notices that the socket is ready and hands the turn to the queue, where sd_bus_process runs, and
// every handler (method calls on exported objects, replies, signals) runs there. sd-bus deadlines
// (call timeouts) wait on the process clock.
//
// Threads: open() from any thread; everything else on the connection's queue. sd-bus objects are
// not thread-safe; nothing here locks (the reactor thread only posts turns to the queue).
//
// Lifetime: owned through a std::shared_ptr. Destroying it (on its queue) leaves the reactor and
// closes the socket; replies still pending are not delivered. A broken connection is logged once,
// its disconnect handler runs and it stays closed.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Dispatch.hpp"

namespace platform::dbus {

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
// A match, a vtable or an asynchronous call: unref cancels it.
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// A reply: a method return, or an error (sd_bus_message_is_method_error) when the call failed,
// timed out or the connection broke.
using ReplyHandler = std::function<void(sd_bus_message* reply)>;

class BusConnection : public std::enable_shared_from_this<BusConnection> {
public:
    // Connects to `address` (a D-Bus address: "unix:path=/run/user/1000/bus") as a bus client.
    // Null when it cannot, with the reason in `error`.
    static std::shared_ptr<BusConnection> open(const std::string& address, DispatchQueuePtr queue,
                                               std::string* error = nullptr);
    // $DBUS_SESSION_BUS_ADDRESS, else "unix:path=$XDG_RUNTIME_DIR/bus" when that socket exists.
    static std::optional<std::string> sessionBusAddress();
    // $DBUS_SYSTEM_BUS_ADDRESS, else the well-known system socket.
    static std::string systemBusAddress();

private:
    struct Key {};

public:
    // Through open() only (Key is private); takes over `bus`.
    BusConnection(Key, sd_bus* bus, DispatchQueuePtr queue);
    ~BusConnection();
    BusConnection(const BusConnection&) = delete;
    BusConnection& operator=(const BusConnection&) = delete;

    // The sd-bus object, for building messages and exporting objects; null once closed.
    sd_bus* bus() const { return bus_; }
    bool isConnected() const { return bus_ != nullptr; }
    const DispatchQueuePtr& queue() const { return queue_; }

    // Sends `message` (a method call) and hands the reply to `handler` on the queue. The handler
    // is dropped uncalled when the connection is destroyed first. False when nothing was sent.
    bool callAsync(sd_bus_message* message, ReplyHandler handler, std::uint64_t timeoutMicroseconds = 0);
    // Sends a message that expects no reply (a signal). False when it could not be queued.
    bool send(sd_bus_message* message);

    // Lets the connection move what was queued by a direct sd-bus call (emitting a signal,
    // replying). Coalesced: one turn per queue pass.
    void wake();

    // Runs once, on the queue, when the connection breaks.
    void setDisconnectHandler(std::function<void()> handler) { disconnectHandler_ = std::move(handler); }

private:
    class Watch;
    bool attach(std::string* error);
    void turn();
    void rearm();
    void closeBroken(int error);

    sd_bus* bus_;
    DispatchQueuePtr queue_;
    int fd_ = -1;
    std::uint64_t token_ = 0;
    bool turnQueued_ = false;
    std::uint64_t timerDeadline_ = UINT64_MAX;  // the sd-bus deadline a timer waits for
    std::uint64_t timerGeneration_ = 0;
    std::function<void()> disconnectHandler_;
};

using BusConnectionPtr = std::shared_ptr<BusConnection>;

// The process's session bus connection, working on the main queue, opened on first use from any
// thread; null (logged once) when there is no session bus.
BusConnectionPtr sessionBus();
// The process's system bus connection, the same way; null (logged once) when there is none.
BusConnectionPtr systemBus();

}  // namespace platform::dbus
