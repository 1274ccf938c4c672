#pragma once
// Linux: watches one file through inotify on its folder, so that a file replaced
// by rename, created, written or removed is noticed. While the folder is missing
// (a fresh install, or removed later) its nearest existing ancestor is watched
// instead, and the folder's arrival counts as a change. `changed` runs on the
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
    // Throws std::system_error when neither the folder nor an ancestor can be
    // watched (no permission, no inotify).
    PreferencesWatcher(asio::io_context& io, const std::string& path, std::function<void()> changed);
    ~PreferencesWatcher();
    PreferencesWatcher(const PreferencesWatcher&) = delete;
    PreferencesWatcher& operator=(const PreferencesWatcher&) = delete;

    // True while the folder is missing and an ancestor is watched. Any thread.
    bool waitingForFolder() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform::ne
