#pragma once
// Runs a program as a child with a fixed argument list and no shell: the program path must be
// absolute, the environment is a fixed minimal one, standard input is /dev/null, every
// descriptor above standard error is closed, every signal starts at its default action with none
// blocked, and the child is always waited for. Standard
// output is collected (up to a cap; the rest is read and dropped); standard error stays the
// caller's.
//
// Threads: any; blocks the calling thread until the child has ended.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct CommandResult {
    std::string output;             // standard output, at most kMaxCommandOutput bytes
    std::optional<int> exitStatus;  // when the child exited normally
    std::string error;              // why it could not be started, or how it ended abnormally
    bool succeeded() const { return error.empty() && exitStatus == 0; }
};

inline constexpr std::size_t kMaxCommandOutput = 256 * 1024;

// `arguments` follow the program's own name (argv[0] is the program path).
CommandResult runCommand(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// "<program> <arg> ..." for log lines.
std::string commandLine(const std::filesystem::path& program, const std::vector<std::string>& arguments);

}  // namespace platform
