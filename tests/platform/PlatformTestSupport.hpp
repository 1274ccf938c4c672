#pragma once
// Test helpers for the platform stand-ins: a temporary folder, an environment variable set for a
// scope, and a child process (this test program again, or another program) with its input on a
// pipe and extra environment variables. Single-threaded use.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/TestFolders.hpp"

extern char** environ;

namespace platform::testing {

using kiv::fakes::ScopedEnvironment;
using kiv::fakes::TemporaryFolder;

// A started program; its output goes to /dev/null. Destroying it closes its input and reaps it.
class Child {
public:
    // `environment` ("NAME=value") comes before ours, so its names win.
    Child(const std::string& program, std::vector<std::string> arguments,
          std::vector<std::string> environment = {}) {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        arguments.insert(arguments.begin(), program);
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& variable : environment) envp.push_back(variable.data());
        for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
        envp.push_back(nullptr);
        const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        if (rc != 0) {
            ::close(in[1]);
            throw std::runtime_error("posix_spawn " + program + " failed");
        }
        input_ = in[1];
    }
    // This test program, running only the test `filter`.
    static Child self(const std::string& filter, std::vector<std::string> environment) {
        return Child("/proc/self/exe", {"--gtest_filter=" + filter}, std::move(environment));
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { (void)wait(); }

    pid_t pid() const { return pid_; }

    // Closes its input and returns its wait status; -1 once it has been reaped.
    int wait() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
        int status = -1;
        if (pid_ > 0) ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

}  // namespace platform::testing
