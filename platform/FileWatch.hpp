#pragma once
// File-system events of one file as dispatch work (the vnode event source of the system these
// programs were first written for), on inotify watched by the process's reactor.
//
// A watch follows the file object, not its name: it is made on a descriptor opened with
// openForEvents(), and once that file is removed or replaced (an atomic save renames a new file
// over it) the watch reports the removal and then stays on the removed file, reporting nothing
// more. Whoever wants the new file opens a new watch.
//
// Usage, as with the original source: make the watch on the descriptor, set the handlers, resume.
// The descriptor is not owned by the watch: the cancel handler is where it gets closed.
//
// Threads: construct, resume, cancel and destroy on any thread. Handlers run on the given queue.
// Events read together are coalesced per watch into one handler call (a bit set of FileEvent).
// After cancel() no event handler call starts, the cancel handler runs once on the queue, and
// the descriptor may be closed there. Destroying the watch cancels it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/Dispatch.hpp"

namespace platform {

// Event kinds, as bits of the handler's argument.
enum FileEvent : std::uint32_t {
    fileDeleted = 1u << 0,            // the file's last name went (removed or replaced)
    fileWritten = 1u << 1,            // its content changed
    fileExtended = 1u << 2,           // it grew
    fileAttributesChanged = 1u << 3,  // mode, owner, times
    fileLinkCountChanged = 1u << 4,   // a name was added or removed, others remain
    fileRenamed = 1u << 5,            // it moved to another name
    fileRevoked = 1u << 6,            // its file system went away
    fileUnlocked = 1u << 7,           // never reported here: Linux has no such event
    allFileEvents = 0xffu,
};

// Opens `path` for event notification only (O_PATH: no read or write access, no lock on the
// file). -1 on failure, errno telling why.
int openForEvents(const std::filesystem::path& path);

class FileWatch {
public:
    using EventHandler = std::function<void(std::uint32_t events)>;
    using CancelHandler = std::function<void()>;

    // Prepares a watch of the file open at `fd` for the events in `mask`; nothing is read until
    // resume().
    FileWatch(int fd, std::uint32_t mask, DispatchQueuePtr queue);
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Before resume().
    void setEventHandler(EventHandler handler);
    void setCancelHandler(CancelHandler handler);
    // Starts watching. False when inotify refused the watch (errno tells why); the watch is then
    // cancelled (its cancel handler runs).
    bool resume();
    // Idempotent.
    void cancel();
    bool isCancelled() const;
    int descriptor() const;

    // Inside the implementation only; shared with the inotify table and with the handler calls
    // already queued.
    struct State;

private:
    std::shared_ptr<State> state_;
};

using FileWatchPtr = std::unique_ptr<FileWatch>;

}  // namespace platform
