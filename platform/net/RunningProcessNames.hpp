#pragma once
// The names of the running applications, as /proc shows them: for every process, its command
// name (comm) and the first word of its command line (argv[0], often the program's full path).
// Processes whose entries cannot be read (gone, hidden) are skipped. Read afresh on every call.
// Any thread.
#include <string>
#include <vector>

namespace platform {

// `procRoot`: the proc file system (tests hand in a folder laid out the same way).
std::vector<std::string> runningProcessNames(const std::string& procRoot = "/proc");

}  // namespace platform
