#pragma once
// An in-process server for the connection tests: a listener whose delegate exports a
// TestService on every accepted connection.
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/xpc/TestService.hpp"
#include "platform/xpc/TestSupport.hpp"
#include "platform/xpc/XPCListener.hpp"

namespace xpctest {

class TestServer final : public platform::XPCListenerDelegate {
public:
    bool accept = true;
    bool resumeAtOnce = true;
    // Runs after the delegate resumed the connection, before it answers.
    std::function<void()> whileDeciding;
    const std::shared_ptr<Recorder> events = std::make_shared<Recorder>();

    bool shouldAcceptNewConnection(platform::XPCListener&,
                                   const std::shared_ptr<platform::XPCConnection>& connection) override {
        auto service = std::make_shared<TestService>();
        service->connection = connection;
        connection->setExportedInterface(testInterface());
        connection->setRemoteObjectInterface(testInterface());
        connection->setExportedObject(service);
        connection->setInvalidationHandler([events = events] { events->add("server-invalidated"); });
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
            services_.push_back(service);
        }
        changed_.notify_all();
        if (resumeAtOnce) connection->resume();
        if (whileDeciding) whileDeciding();
        events->add("accepted");
        return accept;
    }

    // The i-th accepted connection and its service, waiting up to 10 s for it.
    std::shared_ptr<platform::XPCConnection> connection(std::size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return i < connections_.size(); });
        return i < connections_.size() ? connections_[i] : nullptr;
    }
    std::shared_ptr<TestService> service(std::size_t i) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return i < services_.size(); });
        if (i >= services_.size()) throw std::runtime_error("no connection was accepted");
        return services_[i];
    }
    void invalidateAll() {
        std::vector<std::shared_ptr<platform::XPCConnection>> all;
        {
            std::lock_guard lock(mutex_);
            all = connections_;
        }
        for (auto& c : all) c->invalidate();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<platform::XPCConnection>> connections_;
    std::vector<std::shared_ptr<TestService>> services_;
};

// The outcome of one call with a reply, filled on the connection's queue.
struct CallOutcome {
    std::mutex mutex;
    std::optional<platform::XPCArguments> reply;
    std::optional<platform::ErrorObject> error;
    int completions = 0;
    std::thread::id thread;
    platform::Semaphore done;

    bool wait() { return done.waitFor(std::chrono::seconds(10)); }
};

inline std::shared_ptr<CallOutcome> callAsync(platform::XPCConnection& connection, std::string_view selector,
                                              platform::XPCArguments arguments) {
    auto outcome = std::make_shared<CallOutcome>();
    auto proxy = connection.remoteObjectProxyWithErrorHandler([outcome](const platform::ErrorObject& e) {
        {
            std::lock_guard lock(outcome->mutex);
            outcome->error = e;
            ++outcome->completions;
            outcome->thread = std::this_thread::get_id();
        }
        outcome->done.signal();
    });
    proxy.send(selector, std::move(arguments), [outcome](platform::XPCArguments reply) {
        {
            std::lock_guard lock(outcome->mutex);
            outcome->reply = std::move(reply);
            ++outcome->completions;
            outcome->thread = std::this_thread::get_id();
        }
        outcome->done.signal();
    });
    return outcome;
}

// A client connection of the test protocol whose handlers report to `events`.
inline std::shared_ptr<platform::XPCConnection> makeClient(const std::string& service,
                                                           const std::shared_ptr<Recorder>& events,
                                                           bool resume = true) {
    auto c = platform::XPCConnection::makeWithMachServiceName(service);
    c->setRemoteObjectInterface(testInterface());
    c->setInvalidationHandler([events] { events->add("invalidated"); });
    c->setInterruptionHandler([events] { events->add("interrupted"); });
    if (resume) c->resume();
    return c;
}

}  // namespace xpctest
