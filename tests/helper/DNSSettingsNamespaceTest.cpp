// The DNS settings modifier on the machine's own paths, inside user, mount and network
// namespaces of the test: /etc and /run are folders of the test there, the links are a veth pair
// of the namespace, and dig, reading /etc/resolv.conf, asks stand-in resolvers on 127.0.0.x.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "fakes/Process.hpp"
#include "fakes/TestFolders.hpp"
#include "helper/DNSSettingsFixture.hpp"

namespace kiv::tests {
namespace {

using helper::DNSModifyHelper;
using namespace std::chrono_literals;

constexpr const char* kFolderVariable = "KIV_DNS_NAMESPACE_FOLDER";
constexpr const char* kOriginal =
    "# namespace test\n"
    "search kiv.test\n"
    "nameserver 127.0.0.88\n"
    "options attempts:1\n";

std::string selfPath() {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// Runs a program to its end; its exit status and first output line.
std::pair<int, std::string> run(const std::vector<std::string>& arguments,
                                const std::filesystem::path& errors) {
    kiv::fakes::Process process(arguments, {}, errors.string());
    const std::string line = process.readLine(60s).value_or("");
    while (process.readLine(60s)) {
    }
    const auto status = process.wait(60s);
    return {status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1, line};
}

// What dig gets for an A question through /etc/resolv.conf.
std::string dig(const std::filesystem::path& errors) {
    return run({"/usr/bin/dig", "+short", "+tries=2", "+time=3", "probe.kiv.test", "A"}, errors).second;
}

TEST(DNSSettingsNamespaceTest, DigFollowsChangeAndRollback) {
    for (const char* tool : {"/usr/bin/unshare", "/usr/bin/dig", "/usr/sbin/ip", "/usr/bin/python3"}) {
        if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is missing";
    }
    kiv::fakes::TemporaryFolder folder("kiv-dns-ns");
    if (run({"/usr/bin/unshare", "-Urmn", "/bin/true"}, folder.path() / "probe.err").first != 0) {
        GTEST_SKIP() << "unshare -Urmn is not permitted here";
    }
    kiv::fakes::Process inside(
        {"/usr/bin/unshare", "-Urmn", selfPath(), "--gtest_filter=DNSSettingsNamespaceTest.InsideNamespace"},
        {std::string(kFolderVariable) + "=" + folder.path().string()},
        (folder.path() / "inside.err").string());
    std::string output;
    bool completed = false;
    while (const auto line = inside.readLine(120s)) {
        output += *line + "\n";
        completed = completed || *line == "namespace run complete";
    }
    const auto status = inside.wait(60s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << output;
    EXPECT_TRUE(completed) << output;
}

// The part run inside the namespaces; skipped in a plain run.
TEST(DNSSettingsNamespaceTest, InsideNamespace) {
    const char* folderText = ::getenv(kFolderVariable);
    if (folderText == nullptr)
        GTEST_SKIP() << "runs only inside the namespaces of DigFollowsChangeAndRollback";
    const std::filesystem::path folder = folderText;
    const auto errors = folder / "tools.err";

    // kivdns0 is up, kivdns1 down: one service that takes the change, one disabled.
    for (const auto& command : std::vector<std::vector<std::string>>{
             {"/usr/sbin/ip", "link", "set", "lo", "up"},
             {"/usr/sbin/ip", "link", "add", "kivdns0", "type", "veth", "peer", "name", "kivdns1"},
             {"/usr/sbin/ip", "link", "set", "kivdns0", "up"}}) {
        ASSERT_EQ(run(command, errors).first, 0) << command[2] << " " << command[3];
    }
    std::vector<std::unique_ptr<kiv::fakes::Process>> resolvers;
    for (const char* last : {"77", "88"}) {
        resolvers.push_back(std::make_unique<kiv::fakes::Process>(
            std::vector<std::string>{"/usr/bin/python3", KIV_SOURCE_DIR "/tools/kiv-test-resolver", "--quiet",
                                     "--address", std::string("127.0.0.") + last, "--port", "53", "--answer",
                                     std::string("192.0.2.") + last},
            std::vector<std::string>{}, (folder / "resolver.err").string()));
        ASSERT_TRUE(resolvers.back()->waitForLine("listening on"));
    }

    // The machine's /etc and /run, as this namespace sees them, are the test's folders.
    for (const char* name : {"etc", "run", "home"}) std::filesystem::create_directories(folder / name);
    std::ofstream(folder / "etc" / "resolv.conf") << kOriginal;
    ASSERT_EQ(::mount((folder / "etc").c_str(), "/etc", nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    ASSERT_EQ(::mount((folder / "run").c_str(), "/run", nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    for (const char* variable : {"KIV_ROOT", "KIV_RESOLVE_BUS", "DBUS_SYSTEM_BUS_ADDRESS"})
        ::unsetenv(variable);
    ::setenv("KIV_HOME", (folder / "home").c_str(), 1);

    // Everything as the helper has it, but the log.
    LogCapture log;
    helper::DNSModifierEnvironment environment;
    environment.log = [&log](const std::string& line) { log.add(line); };
    DNSModifyHelper::setEnvironment(environment);

    EXPECT_EQ(dig(errors), "192.0.2.88");
    EXPECT_FALSE(DNSModifyHelper::setResolvers({"127.0.0.77"}));
    EXPECT_TRUE(log.contains("kivdns1 is disabled"));
    EXPECT_TRUE(log.contains("Setting kivdns0's resolvers to [127.0.0.77]"));
    EXPECT_EQ(DNSSettingsFixture::readFile("/etc/resolv.conf"),
              "# namespace test\nsearch kiv.test\nnameserver 127.0.0.77\noptions attempts:1\n");
    EXPECT_EQ(dig(errors), "192.0.2.77");
    EXPECT_TRUE(std::filesystem::exists("/run/KIVDNSModifier.lock"));

    EXPECT_TRUE(DNSModifyHelper::rollbackResolvers());
    EXPECT_EQ(DNSSettingsFixture::readFile("/etc/resolv.conf"), kOriginal);
    EXPECT_EQ(dig(errors), "192.0.2.88");
    DNSModifyHelper::setEnvironment({});
    if (!HasFailure()) std::printf("namespace run complete\n");
}

}  // namespace
}  // namespace kiv::tests
