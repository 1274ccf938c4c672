#pragma once
// Test helper: a program the test starts, with its standard input and output on pipes, for
// tests that run the other end of a link in a second process. The programs it is made for
// exit when their input ends: finish() (or the destructor) closes the input and reaps the
// child.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kiv::fakes {

class ChildProcess {
public:
    explicit ChildProcess(const std::string& program, const std::vector<std::string>& arguments = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> all{program};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error("posix_spawn " + program + " failed");
        }
        pid_ = pid;
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~ChildProcess() {
        // Output first, so that a child still writing ends instead of blocking the wait.
        ::close(stdout_);
        finish();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes `line` and a line feed to its input; false when that fails.
    bool send(const std::string& line) {
        const std::string text = line + "\n";
        return stdin_ >= 0 && ::write(stdin_, text.data(), text.size()) == ssize_t(text.size());
    }

    // One line of its output; "" after 10 s or at the end of the output.
    std::string readLine() {
        std::string line;
        char c;
        for (;;) {
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1 || ::read(stdout_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }

    // Closes its input (it exits) and returns its wait status; 0 once it has been reaped.
    int finish() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
        int status = 0;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

}  // namespace kiv::fakes
