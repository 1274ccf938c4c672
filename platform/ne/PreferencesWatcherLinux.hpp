#pragma once
// Linux: watches one file through inotify on its folder, so that a file replaced
// by rename, created, written or removed is noticed. `changed` runs on the
// io_context after each burst of events; the watcher coalesces what is queued.
// Destroying the watcher stops it; destroy it on an io_context thread or after
// the io_context stopped.
#include <array>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <functional>
#include <memory>
#include <string>

namespace platform::ne {

class PreferencesWatcher {
public:
    // Throws std::system_error when the folder cannot be watched.
    PreferencesWatcher(asio::io_context& io, std::string path, std::function<void()> changed);
    ~PreferencesWatcher();
    PreferencesWatcher(const PreferencesWatcher&) = delete;
    PreferencesWatcher& operator=(const PreferencesWatcher&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::ne
