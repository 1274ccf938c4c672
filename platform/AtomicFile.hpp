#pragma once
// Whole-file reads and writes for files that other processes read or write too: a reader never
// sees half a file, a writer never follows a symbolic link planted where the file goes, and a
// reader never reads more than it asked for.
//
// Threads: any; nothing is shared but the file system.
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Writes `content` to a new temporary file in the folder of `path` (mkstemp), sets `mode`,
// fsyncs it, renames it over `path` and fsyncs the folder. A symbolic link at `path` is replaced,
// never followed. Returns an empty text on success, otherwise what failed (path and errno text);
// on failure the earlier file is left in place and no temporary file is left behind. (A failed
// sync of the folder, after the rename, is reported too: the new file is in place but may not
// survive a power cut.) The temporary file is "." + the file's name + a random suffix.
std::string writeFileAtomically(const std::filesystem::path& path, std::string_view content,
                                mode_t mode = 0644);

struct FileOwner {
    uid_t uid = 0;
    gid_t gid = 0;
};

// The same, with the new file given to `owner` (fchown, as root) before any content reaches it:
// the file never holds the content under another owner or mode.
std::string writeFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                                FileOwner owner);

struct FileRead {
    enum class Status { read, missing, failed };
    Status status = Status::failed;
    std::string content;  // when read
    std::string error;    // when failed: path and reason
    int errorNumber = 0;  // errno of the failure (ENOENT when missing)
};

// Reads the whole regular file at `path` (O_NOFOLLOW: a symbolic link as the last component is
// refused, ELOOP). A file larger than `maxBytes` is refused (EFBIG) without reading past the cap.
// Anything but a regular file is refused (EISDIR for a folder, EINVAL otherwise) without
// blocking on it (a FIFO).
FileRead readWholeFile(const std::filesystem::path& path, std::size_t maxBytes = 16u << 20);

}  // namespace platform
