#pragma once
// Test helper: a child process started by the test, with its standard output read
// line by line (standard error goes to a file). Destroying it kills the child.
// By default the child inherits the test's environment plus `environment`; with
// Options::inheritEnvironment false it gets `environment` alone. Options::runAs starts it
// under another user and group id (the test must be root for that).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kiv::fakes {

class Process {
public:
    struct Options {
        bool inheritEnvironment = true;
        std::optional<uid_t> runAs;  // user and group id
    };

    Process(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const std::string& errorFile)
        : Process(arguments, environment, errorFile, Options{}) {}
    Process(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const std::string& errorFile, const Options& options) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<std::string> envStrings;
        if (options.inheritEnvironment) {
            for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
        }
        envStrings.insert(envStrings.end(), environment.begin(), environment.end());
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0) ::dup2(err, STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDONLY);
            if (null >= 0) ::dup2(null, STDIN_FILENO);
            if (options.runAs && (::setgroups(0, nullptr) != 0 ||
                                  ::setresgid(*options.runAs, *options.runAs, *options.runAs) != 0 ||
                                  ::setresuid(*options.runAs, *options.runAs, *options.runAs) != 0)) {
                ::_exit(126);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }
    ~Process() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        if (out_ >= 0) ::close(out_);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !status_; }

    // The next line of standard output within `timeout`.
    std::optional<std::string> readLine(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
            char chunk[4096];
            const ssize_t got = ::read(out_, chunk, sizeof chunk);
            if (got <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    // Reads lines until one contains `text`; that line, or nothing.
    std::optional<std::string> waitForLine(
        const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!line) return std::nullopt;
            if (line->find(text) != std::string::npos) return line;
        }
        return std::nullopt;
    }

    void signal(int number) const { ::kill(pid_, number); }
    // The exit status (as from waitpid), or nothing when it did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!status_) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 5);  // the child's end cannot be waited for with a timeout otherwise
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::optional<int> status_;
};

}  // namespace kiv::fakes
