#pragma once
// Helpers of the monitor tests: running a program without a shell, a scripted DNS server on
// loopback, and a recorder of change events turned by the main loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <any>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Logger/KIVLogger.hpp"
#include "app/core/ChangeType.hpp"
#include "app/core/NotificationPublisher.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/NotificationCenter.hpp"

extern char** environ;

namespace kiv::testing_support {

// Runs argv[0] (found on PATH) with its output left alone; the exit status, or -1.
inline int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A UDP DNS server on a loopback address, answering each query with what `respond` returns
// (zero or more datagrams). Stops (and joins its thread) when destroyed.
class LoopbackDNSServer {
public:
    using Respond =
        std::function<std::vector<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>& query)>;

    explicit LoopbackDNSServer(Respond respond, const char* address = "127.0.0.1", std::uint16_t port = 0)
        : respond_(std::move(respond)), socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &local.sin_addr);
        bound_ = ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0;
        socklen_t size = sizeof(local);
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&local), &size);
        port_ = ntohs(local.sin_port);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            stopRead_ = platform::FileDescriptor(fds[0]);
            stopWrite_ = platform::FileDescriptor(fds[1]);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackDNSServer() {
        (void)::write(stopWrite_.get(), "x", 1);
        thread_.join();
    }

    bool bound() const { return bound_; }
    std::uint16_t port() const { return port_; }
    int queriesReceived() const { return queries_.load(); }

private:
    void serve() {
        std::array<std::uint8_t, 65536> buffer;
        for (;;) {
            std::array<pollfd, 2> fds{pollfd{socket_.get(), POLLIN, 0}, pollfd{stopRead_.get(), POLLIN, 0}};
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[1].revents) return;
            sockaddr_in peer{};
            socklen_t size = sizeof(peer);
            const ssize_t got = ::recvfrom(socket_.get(), buffer.data(), buffer.size(), 0,
                                           reinterpret_cast<sockaddr*>(&peer), &size);
            if (got <= 0) continue;
            ++queries_;
            for (const auto& reply :
                 respond_(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got))) {
                ::sendto(socket_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                         size);
            }
        }
    }

    Respond respond_;
    platform::FileDescriptor socket_;
    platform::FileDescriptor stopRead_, stopWrite_;
    bool bound_ = false;
    std::uint16_t port_ = 0;
    std::atomic<int> queries_{0};
    std::thread thread_;
};

class CapturingLogger final : public KIVLogger {
public:
    void log(const std::string& message, model::LogLevel level) override {
        std::lock_guard lock(mutex);
        lines.push_back(message);
        levels.push_back(level);
    }
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<model::LogLevel> levels;
};

// Records every change event posted to its own centre; the test thread turns the main loop.
class EventRecorder {
public:
    EventRecorder() {
        for (ChangeType type : allCases()) {
            observations_.push_back(center.addObserver(std::string(rawValue(type)), nullptr,
                                                       [this](const platform::Notification& n) {
                                                           std::lock_guard lock(mutex_);
                                                           names_.push_back(n.name);
                                                           objects_.push_back(n.object);
                                                       }));
        }
    }
    std::shared_ptr<NotificationPublisher> publisher() {
        return std::make_shared<NotificationPublisher>(&center);
    }

    // Runs the main queue's work that is waiting now.
    static void drain() {
        using namespace std::chrono_literals;
        while (platform::runMainLoopOnce(0ms)) {
        }
    }
    // Turns the main loop until `count` events arrived or `guard` passed (a failure guard,
    // not a measured time).
    bool waitFor(std::size_t count, std::chrono::seconds guard = std::chrono::seconds(20)) {
        return waitUntil([count](const std::vector<std::string>& names) { return names.size() >= count; },
                         guard);
    }
    // The same until `done` holds for the names received so far.
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                   std::chrono::seconds guard = std::chrono::seconds(20)) {
        const auto until = std::chrono::steady_clock::now() + guard;
        while (!done(names())) {
            if (std::chrono::steady_clock::now() > until) return false;
            platform::runMainLoopOnce(std::chrono::milliseconds(100));
        }
        return true;
    }
    std::vector<std::string> names() const {
        std::lock_guard lock(mutex_);
        return names_;
    }
    std::vector<std::any> objects() const {
        std::lock_guard lock(mutex_);
        return objects_;
    }

    platform::NotificationCenter center;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> names_;  // guarded by mutex_
    std::vector<std::any> objects_;   // guarded by mutex_
    std::vector<platform::Observation> observations_;
};

}  // namespace kiv::testing_support
