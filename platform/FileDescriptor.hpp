#pragma once
// An owned file descriptor: closed when its owner goes (an error there has no one to tell) or
// earlier by close(), which reports what close(2) said, since a write that did not reach the
// file may show only there. Move-only, one owner; not synchronised. Also writeAll, the write
// loop that every writer of a whole buffer needs.
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>
#include <utility>

namespace platform {

class FileDescriptor {
public:
    FileDescriptor() = default;
    // Takes ownership of fd; a negative value (a failed open) owns nothing.
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() { (void)close(); }

    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            (void)close();
            fd_ = other.release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // The descriptor, or -1 when nothing is owned.
    int get() const noexcept { return fd_; }

    // Gives the descriptor up without closing it; nothing is owned afterwards.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes now; nothing is owned afterwards. False when close(2) reported an error (the
    // descriptor is gone all the same: Linux frees it even on EINTR, so it is never retried);
    // true when nothing was owned.
    bool close() noexcept {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_ = -1;
};

// Writes all of bytes to fd, going on after short writes and EINTR. False (errno tells why;
// EIO for a write that took nothing) when the bytes cannot all be written.
inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace platform
