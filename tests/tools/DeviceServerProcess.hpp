#pragma once
// Test helper: runs tools/kiv-device-server on 127.0.0.1 (port 0) with its store in a folder
// the test owns, for the life of the object. The destructor stops it (SIGTERM) and reaps it;
// the server removes the certificates it made. Other tests (the device-server client's
// end-to-end test) include it as "tools/DeviceServerProcess.hpp".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kiv::fakes {

class DeviceServerProcess {
public:
    static constexpr const char* program = KIV_SOURCE_DIR "/tools/kiv-device-server";

    // `store`: the store file (made with a demo account when missing); `plain`: http instead
    // of https; `extra`: further serve options (--install-key, --resolver ...).
    DeviceServerProcess(const std::filesystem::path& store, bool plain, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"/usr/bin/python3", program,   "serve",
                                      "--quiet",          "--store", store.string()};
        if (plain) args.push_back("--plain");
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        if (spawned != 0) {
            ::close(out[0]);
            throw std::runtime_error("cannot start kiv-device-server");
        }
        // The header: the port alone, then "name value" lines, "store" last.
        const std::string last = "store";
        std::string line = readLine(out[0]);
        if (!line.empty()) port_ = std::stoi(line);
        while (port_ != 0 && !(line = readLine(out[0])).empty()) {
            const auto space = line.find(' ');
            if (space == std::string::npos) break;
            const std::string name = line.substr(0, space);
            values_.emplace(name, line.substr(space + 1));
            if (name == last) break;
        }
        ::close(out[0]);
        if (port_ == 0 || !values_.count(last)) {
            stop();
            throw std::runtime_error("kiv-device-server did not start");
        }
    }
    ~DeviceServerProcess() { stop(); }
    DeviceServerProcess(const DeviceServerProcess&) = delete;
    DeviceServerProcess& operator=(const DeviceServerProcess&) = delete;

    int port() const { return port_; }
    // "https://127.0.0.1:PORT" (or http with plain).
    std::string url() const { return value("url"); }
    // The CA certificate (PEM) that signed the server's certificate; empty with plain.
    std::string caFile() const { return value("ca"); }
    std::string value(const std::string& name) const {
        const auto found = values_.find(name);
        return found == values_.end() ? std::string() : found->second;
    }

    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    // Runs a subcommand (set, revoke, add-key, show) on `store`; its exit status.
    static int run(const std::filesystem::path& store, std::vector<std::string> arguments) {
        std::vector<std::string> args{"/usr/bin/python3", program};
        args.push_back(arguments.at(0));
        args.push_back("--store");
        args.push_back(store.string());
        args.insert(args.end(), arguments.begin() + 1, arguments.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) return -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    static std::string readLine(int fd) {
        std::string line;
        char c;
        pollfd ready{fd, POLLIN, 0};
        while (::poll(&ready, 1, 30000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    pid_t pid_ = -1;
    int port_ = 0;
    std::map<std::string, std::string> values_;
};

}  // namespace kiv::fakes
