#pragma once
// Test helper: turns an io_context's loop (IoLoop: the ring's, or Asio's) on the
// test's thread until a condition holds (false after `timeout`). Waiting this way
// observes the event; it never sleeps.
#include <asio/io_context.hpp>
#include <chrono>
#include <thread>

#include "platform/ne/IoLoop.hpp"

namespace fakes {

template <typename Condition>
bool runUntil(asio::io_context& io, Condition condition,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (!platform::ne::IoLoop::of(io).runFor(std::chrono::milliseconds(5))) std::this_thread::yield();
    }
    return true;
}

// Runs what is ready now, without waiting.
inline void drain(asio::io_context& io) {
    auto& loop = platform::ne::IoLoop::of(io);
    if (!loop.waitsItself()) {
        io.restart();
        io.poll();
        return;
    }
    // What the ready work makes ready runs too, as Asio's poll() would run it.
    for (int turn = 0; turn < 64 && loop.runFor(std::chrono::nanoseconds::zero()); ++turn) {
    }
}

}  // namespace fakes
