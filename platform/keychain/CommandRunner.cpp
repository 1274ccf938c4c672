#include "platform/keychain/CommandRunner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/FileDescriptor.hpp"
#include "platform/SystemLog.hpp"

namespace platform {

std::string commandLine(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    std::string line = program.string();
    for (const auto& argument : arguments) line += " " + argument;
    return line;
}

namespace {

// Starts `program` with `arguments` as the header says, its standard output on `output`; the
// child's pid, or nothing with the reason in `why`.
std::optional<pid_t> spawnChild(const std::filesystem::path& program,
                                const std::vector<std::string>& arguments, int output, std::string& why) {
    std::string programText = program.string();
    std::vector<std::string> argumentTexts = arguments;
    std::vector<char*> argv{programText.data()};
    for (auto& argument : argumentTexts) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string path = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    std::string lang = "LANG=C";
    char* envp[] = {path.data(), lang.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The child starts as a fresh program would: every signal at its default action (the
    // helper ignores SIGPIPE, and the update's own pipelines rely on it) and none blocked (the
    // helper blocks its stop signals in every thread).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigset_t none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        why = "cannot run " + program.string() + ": " + std::strerror(spawned);
        return std::nullopt;
    }
    return pid;
}

// Reads `fd` to its end, keeping the first kMaxCommandOutput bytes: a child is never left
// blocked on a full pipe.
std::string readCapped(int fd) {
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::size_t room = kMaxCommandOutput - output.size();
        output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    }
    return output;
}

// Waits for the child `pid` and records how it ended in `result`.
void waitForChild(pid_t pid, const std::filesystem::path& program, CommandResult& result) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.error = std::string("cannot wait for the command: ") + std::strerror(errno);
            return;
        }
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.error = program.string() + " ended by signal " + std::to_string(WTERMSIG(status));
    }
}

}  // namespace

CommandResult runCommand(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    CommandResult result;
    if (!program.is_absolute()) {
        result.error = "refusing to run " + program.string() + ": not an absolute path";
        return result;
    }
    platform::SystemLog("com.veltrix.kivHelper", "command")
        .info("run command: " + commandLine(program, arguments));

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    FileDescriptor readEnd(out[0]);
    FileDescriptor writeEnd(out[1]);
    const auto pid = spawnChild(program, arguments, writeEnd.get(), result.error);
    // Only the child holds the write end now, so the read below ends when the child does.
    writeEnd.close();
    if (!pid) return result;
    result.output = readCapped(readEnd.get());
    readEnd.close();
    waitForChild(*pid, program, result);
    return result;
}

}  // namespace platform
