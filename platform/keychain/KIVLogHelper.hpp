#pragma once
// The helper log: "[yyyy-MM-dd HH:mm:ss.SSS] message" lines in kivHelper.log of the product
// folder, local time. The helper and the application's certificate installation both append to
// it, each line with one write on a descriptor opened for appending, so lines of two processes
// never overwrite each other. A log over 1 MiB becomes "<log>.bak" (replacing an older one) and a
// new empty log is started: when the writer is made, and by whichever writer's line took it past
// 1 MiB, so the log and its backup together stay near 2 MiB. Rotation is safe against writers of
// other processes: the log's name always leads to a file, and two rotations never both run.
//
// A line that cannot be written (no folder, no right, the file removed) is lost silently; the
// file is not re-created before the next writer is made.
//
// Threads: any.
#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

inline constexpr std::uintmax_t kLogRotationSize = 1024 * 1024;

class KIVLogHelper {
public:
    explicit KIVLogHelper(std::filesystem::path path);
    // The process's writer for the log of KeychainPaths::fromEnvironment(), made on first use.
    static KIVLogHelper& sharedInstance();

    const std::filesystem::path& path() const { return path_; }
    void log(const std::string& message) const;
    // Creates the log when missing; rotates it when larger than kLogRotationSize. Errors are ignored.
    // ("<log>.new" is the rotation's own scratch name.)
    static void manageLogfile(const std::filesystem::path& path);
    // "[<local date>] <message>\n".
    static std::string formatLine(const std::string& message);

private:
    std::filesystem::path path_;
};

}  // namespace platform
