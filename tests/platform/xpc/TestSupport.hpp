#pragma once
// Helpers of the XPC tests: a private run folder and a thread-safe event recorder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Dispatch.hpp"
#include "platform/Reactor.hpp"
#include "platform/xpc/XPCServiceAddress.hpp"

namespace xpctest {

// Points KIV_RUN_DIR at a fresh folder for the life of the object. The folder is
// short, so socket paths stay far below the sun_path limit.
class TempRunDir {
public:
    TempRunDir() {
        char pattern[] = "/tmp/kivxpc.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = made;
        ::setenv(platform::kXPCRunDirEnv, path_.c_str(), 1);
    }
    ~TempRunDir() {
        ::unsetenv(platform::kXPCRunDirEnv);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Strings that handlers add from any thread, with waits that give up after 10 s.
class Recorder {
public:
    void add(std::string event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        changed_.notify_all();
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
    }
    bool waitFor(const std::string& event, std::size_t times = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            std::size_t n = 0;
            for (const auto& e : events_) n += e == event;
            return n >= times;
        });
    }
    std::size_t count(const std::string& event) {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& e : events_) n += e == event;
        return n;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// Returns once the reactor ran everything posted to it before, and once `queue` ran
// everything submitted before (when given).
// `body` behind the link's 4-byte big-endian length prefix.
inline std::string frame(std::string_view body) {
    std::string f(4, '\0');
    f[0] = char((body.size() >> 24) & 0xFF);
    f[1] = char((body.size() >> 16) & 0xFF);
    f[2] = char((body.size() >> 8) & 0xFF);
    f[3] = char(body.size() & 0xFF);
    return f + std::string(body);
}

inline void drainReactor() {
    platform::Semaphore done;
    platform::Reactor::instance().post([&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(std::chrono::seconds(10)));
}

inline std::size_t openDescriptorCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace xpctest
