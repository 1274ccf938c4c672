#include "platform/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/FileDescriptor.hpp"

namespace platform {
namespace {

std::string errnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

FileRead failedRead(const std::filesystem::path& path, int error, std::string reason) {
    FileRead result;
    result.status = error == ENOENT ? FileRead::Status::missing : FileRead::Status::failed;
    result.errorNumber = error;
    result.error = path.string() + ": " + std::move(reason);
    return result;
}

}  // namespace

namespace {

std::string writeAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                            std::optional<FileOwner> owner) {
    const std::string name = path.filename().string();
    if (name.empty() || name == "." || name == "..") return errnoText(path.string(), EISDIR);
    std::filesystem::path folder = path.parent_path();
    if (folder.empty()) folder = ".";

    // Opened first, so that the folder synced at the end is the one the file went into.
    FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0) return errnoText(folder.string(), errno);

    // Hidden and named after the target, so that a leftover of a crash says whose it was.
    std::string temporary = (folder / ("." + name + ".XXXXXX")).string();
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) return errnoText(temporary, errno);

    std::string failure;
    // Owner and mode first: the content never sits in a file that someone else may read.
    if (owner && ::fchown(file.get(), owner->uid, owner->gid) != 0) {
        failure = errnoText(temporary, errno);
    } else if (::fchmod(file.get(), mode) != 0) {
        failure = errnoText(temporary, errno);
    } else if (!writeAll(file.get(), content)) {
        failure = errnoText(temporary, errno);
    } else if (::fsync(file.get()) != 0) {
        failure = errnoText(temporary, errno);
    } else if (!file.close()) {
        failure = errnoText(temporary, errno);
    } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
        // rename(2) replaces a symbolic link at `path` itself; it never writes through it.
        failure = errnoText(path.string(), errno);
    }
    if (!failure.empty()) {
        (void)file.close();
        (void)::unlink(temporary.c_str());
        return failure;
    }
    // Without this the rename itself may not survive a power cut. The new file is in place by
    // now, so a failure here only says that it may not last. Some file systems cannot sync a
    // folder (EINVAL); there is nothing more to do about those.
    if (::fsync(directory.get()) != 0 && errno != EINVAL) return errnoText(folder.string(), errno);
    return {};
}

}  // namespace

std::string writeFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode) {
    return writeAtomically(path, content, mode, std::nullopt);
}

std::string writeFileAtomically(const std::filesystem::path& path, std::string_view content, mode_t mode,
                                FileOwner owner) {
    return writeAtomically(path, content, mode, owner);
}

FileRead readWholeFile(const std::filesystem::path& path, std::size_t maxBytes) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the open; it is refused below.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        const int error = errno;
        return failedRead(path, error, std::strerror(error));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        const int error = errno;
        return failedRead(path, error, std::strerror(error));
    }
    if (S_ISDIR(info.st_mode)) return failedRead(path, EISDIR, "not a regular file");
    if (!S_ISREG(info.st_mode)) return failedRead(path, EINVAL, "not a regular file");
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    if (static_cast<unsigned long long>(info.st_size) > maxBytes) return failedRead(path, EFBIG, tooLarge);

    // The size may change while reading: read one byte past the cap to see whether it did.
    const std::size_t limit = maxBytes == std::numeric_limits<std::size_t>::max() ? maxBytes : maxBytes + 1;
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[16384];
    while (content.size() < limit) {
        const std::size_t want = std::min(sizeof buffer, limit - content.size());
        const ssize_t got = ::read(file.get(), buffer, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            return failedRead(path, error, std::strerror(error));
        }
        if (got == 0) break;
        content.append(buffer, static_cast<std::size_t>(got));
    }
    if (content.size() > maxBytes) return failedRead(path, EFBIG, tooLarge);
    FileRead result;
    result.status = FileRead::Status::read;
    result.content = std::move(content);
    return result;
}

}  // namespace platform
