#pragma once
// Other running copies of this program, and the polite way to ask one to quit. "The same
// program" is the same executable file (device and inode of what /proc/<pid>/exe names, which
// the kernel keeps and a process cannot rename), not the same 15-character process name or
// command line, so a renamed copy elsewhere is not one of us and a copy run through a symbolic
// link is. Run by root (effective user id 0, which may signal any process), the copies of every
// user count; otherwise only those of our own real user id.
//
// Threads: any; reads /proc on every call, nothing is cached.
#include <sys/types.h>

#include <vector>

namespace platform {

// The process ids of the other processes that run this program's executable file (every
// user's for root, else this real user's), in increasing order; never this process. Processes
// whose entries cannot be read (gone, another user's, a kernel thread) are skipped.
std::vector<pid_t> otherInstancesOfThisProgram();

// Sends SIGINT, this program's quit request. False when the signal could not be sent (errno).
bool terminateProcess(pid_t pid);

// Sends SIGINT to each process otherInstancesOfThisProgram() finds, through a handle on the
// process that was checked, so that an id which a copy gave up on quitting, and the kernel gave
// to another process meanwhile, is never signalled. The ids asked, in increasing order.
std::vector<pid_t> terminateOtherInstancesOfThisProgram();

}  // namespace platform
