#pragma once
// Test helper: runs tests/fakes/loopback_http_server.py on 127.0.0.1 (port 0) for the
// life of the object, and a throwaway self-signed certificate for https. The server
// process is started here and stopped (SIGTERM, then reaped) by the destructor.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace kiv::fakes {

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A self-signed certificate for 127.0.0.1 and localhost, made by `openssl req`.
struct TestCertificate {
    std::filesystem::path certificate;
    std::filesystem::path key;

    static TestCertificate make(const std::filesystem::path& directory) {
        TestCertificate made{directory / "cert.pem", directory / "key.pem"};
        const std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1"
            " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
            made.key.string() + " -out " + made.certificate.string() + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl req failed");
        return made;
    }
};

class LoopbackHTTPServer {
public:
    explicit LoopbackHTTPServer(std::vector<std::string> options = {}, bool tls = false) : tls_(tls) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<std::string> args{"/usr/bin/python3",
                                      KIV_SOURCE_DIR "/tests/fakes/loopback_http_server.py"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (spawned != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start the loopback server");
        }
        std::string line;
        pollfd ready{out[0], POLLIN, 0};
        char c;
        while (poll(&ready, 1, 20000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        if (line.empty()) {
            stop();
            throw std::runtime_error("the loopback server did not start");
        }
        port_ = std::stoi(line);
    }

    ~LoopbackHTTPServer() { stop(); }
    LoopbackHTTPServer(const LoopbackHTTPServer&) = delete;
    LoopbackHTTPServer& operator=(const LoopbackHTTPServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

private:
    bool tls_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace kiv::fakes
