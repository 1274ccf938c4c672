#pragma once
// Test helper: runs the current test once more inside a user and network namespace
// of its own (unshare -Urn), where nftables tables, veth pairs and routes belong to
// the test alone and vanish with it. The outer run waits for the inner one and
// fails with its output when it fails.
//
//   TEST(Suite, Case) {
//       KIV_RUN_IN_OWN_NETWORK_NAMESPACE();
//       ... runs inside only ...
//   }
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fakes/Process.hpp"

namespace kiv_test_namespace {

inline constexpr const char* kInsideVariable = "KIV_TEST_IN_NETWORK_NAMESPACE";

inline bool inside() { return std::getenv(kInsideVariable) != nullptr; }

// Empty when a namespace can be made and nftables used in it, else why not.
inline std::string unavailable() {
    for (const char* tool : {"/usr/bin/unshare", "/usr/sbin/nft", "/usr/sbin/ip"}) {
        if (!std::filesystem::exists(tool)) return std::string(tool) + " is not installed";
    }
    if (std::system("/usr/bin/unshare -Urn /usr/sbin/nft add table inet kivprobe >/dev/null 2>&1") != 0)
        return "unshare -Urn, or nftables inside it, is not permitted here";
    return {};
}

// Runs a shell command inside the namespace; true when it succeeded.
inline bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// The namespace's network: loopback up, and a veth pair with a default route for
// each family, so that any outside address routes (and leads nowhere).
inline bool bringUpNetwork() {
    return shell("ip link set lo up") && shell("ip link add kivv0 type veth peer name kivv1") &&
           shell("ip link set kivv0 up") && shell("ip link set kivv1 up") &&
           shell("ip addr add 192.0.2.1/24 dev kivv0") && shell("ip route add default via 192.0.2.2") &&
           shell("ip -6 addr add 2001:db8:1::1/64 dev kivv0 nodad") &&
           shell("ip -6 route add default via 2001:db8:1::2");
}

// The output of a command (standard output and error).
inline std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
        ::pclose(pipe);
    }
    return text;
}

// Runs the current test in a new namespace; its exit status and what it wrote.
inline int runInside(std::string& log) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto errors =
        std::filesystem::temp_directory_path() / ("kiv-ns-" + std::to_string(::getpid()) + ".err");
    int status = -1;
    {
        kiv::fakes::Process child({"/usr/bin/unshare", "-Urn", self, "--gtest_filter=" + filter},
                                  {std::string(kInsideVariable) + "=1"}, errors.string());
        while (const auto line = child.readLine(std::chrono::seconds(120))) log += *line + "\n";
        if (const auto done = child.wait(std::chrono::seconds(30))) status = *done;
    }
    log += output("cat " + errors.string());
    std::filesystem::remove(errors);
    return status;
}

}  // namespace kiv_test_namespace

#define KIV_RUN_IN_OWN_NETWORK_NAMESPACE()                                                         \
    if (!kiv_test_namespace::inside()) {                                                           \
        if (const auto why = kiv_test_namespace::unavailable(); !why.empty()) GTEST_SKIP() << why; \
        std::string inner;                                                                         \
        const int status = kiv_test_namespace::runInside(inner);                                   \
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << inner;                       \
        return;                                                                                    \
    }
