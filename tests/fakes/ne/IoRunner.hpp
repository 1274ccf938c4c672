#pragma once
// Test helper: turns an io_context on the test's thread until a condition holds
// (false after `timeout`). Waiting this way observes the event; it never sleeps.
#include <asio/io_context.hpp>
#include <chrono>
#include <thread>

namespace fakes {

template <typename Condition>
bool runUntil(asio::io_context& io, Condition condition,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        io.restart();
        if (io.run_one_for(std::chrono::milliseconds(5)) == 0) std::this_thread::yield();
    }
    return true;
}

// Runs what is ready now, without waiting.
inline void drain(asio::io_context& io) {
    io.restart();
    io.poll();
}

}  // namespace fakes
