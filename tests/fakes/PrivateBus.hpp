#pragma once
// Test helper: a private D-Bus daemon of the test's own (a session-type bus on a socket in a
// temporary folder, with no service activation, so nothing of the machine is started on it), and
// peers run against it. Destroying it stops the daemon.
//
// Peers that call back into the test's own bus objects need the main loop turning while they run:
// run() and waitForLine() turn it between reads.
#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"
#include "platform/Dispatch.hpp"

namespace kiv::fakes {

class PrivateBus {
public:
    PrivateBus() : folder_("kiv-bus") {
        const auto config = folder_.path() / "bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type>\n"
            << "<listen>unix:path=" << (folder_.path() / "bus").string() << "</listen>\n"
            << "<auth>EXTERNAL</auth>\n"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        daemon_.emplace(std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config.string(),
                                                 "--print-address", "--nofork"},
                        std::vector<std::string>{}, (folder_.path() / "daemon.err").string());
        auto address = daemon_->readLine();
        if (!address || address->empty()) throw std::runtime_error("dbus-daemon did not start");
        address_ = *address;
    }

    const std::string& address() const { return address_; }
    const std::filesystem::path& folder() const { return folder_.path(); }
    // The environment entry that points a peer at this bus.
    std::string environment() const { return "DBUS_SESSION_BUS_ADDRESS=" + address_; }

    // A peer on this bus; its standard error goes to a file in the bus's folder.
    std::unique_ptr<Process> start(const std::vector<std::string>& arguments) const {
        return std::make_unique<Process>(arguments, std::vector<std::string>{environment()},
                                         (folder_.path() / "peer.err").string());
    }

    // Runs a command to its end while the main loop turns; its standard output. Nothing when it
    // failed or did not end within 20 s.
    std::optional<std::string> run(const std::vector<std::string>& arguments) const {
        auto process = start(arguments);
        std::string output;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            platform::runMainLoopOnce(std::chrono::milliseconds(2));
            if (auto line = process->readLine(std::chrono::milliseconds(2))) {
                output += *line + "\n";
                continue;
            }
            if (auto status = process->wait(std::chrono::milliseconds(0))) {
                while (auto line = process->readLine(std::chrono::milliseconds(100))) output += *line + "\n";
                if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return output;
                std::ifstream errors(folder_.path() / "peer.err");
                lastError_.assign(std::istreambuf_iterator<char>(errors), std::istreambuf_iterator<char>());
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    // The standard error of peers so far, read when run() failed.
    const std::string& lastError() const { return lastError_; }

    // Turns the main loop until `process` prints a line containing `text` (20 s at most).
    static std::optional<std::string> waitForLine(Process& process, const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            platform::runMainLoopOnce(std::chrono::milliseconds(2));
            if (auto line = process.readLine(std::chrono::milliseconds(2));
                line && line->find(text) != std::string::npos) {
                return line;
            }
        }
        return std::nullopt;
    }

    // Turns the main loop until `done` holds (20 s at most); whether it did.
    template <class Predicate>
    static bool turnUntil(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            platform::runMainLoopOnce(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    TemporaryFolder folder_;
    std::optional<Process> daemon_;
    std::string address_;
    mutable std::string lastError_;
};

}  // namespace kiv::fakes
