#pragma once
// Other running copies of this program, and the polite way to ask one to quit. "The same
// program" is the same executable file (device and inode of what /proc/<pid>/exe names), not the
// same 15-character process name, so a renamed copy elsewhere is not one of us and a copy run
// through a symbolic link is. Only processes of our own real user id count.
//
// Threads: any; reads /proc on every call, nothing is cached.
#include <sys/types.h>

#include <vector>

namespace platform {

// The process ids of the other processes of this real user that run this program's executable
// file, in increasing order; never this process. Processes whose entries cannot be read (gone,
// another user's, a kernel thread) are skipped.
std::vector<pid_t> otherInstancesOfThisProgram();

// Sends SIGINT, this program's quit request. False when the signal could not be sent (errno).
bool terminateProcess(pid_t pid);

}  // namespace platform
