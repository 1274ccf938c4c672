// Opening things on the desktop: refused without a session or for a target the opener would take
// as an option; otherwise the opener runs with the target as its one argument, no shell between.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fakes/TestFolders.hpp"
#include "platform/dbus/Workspace.hpp"

namespace platform {
namespace {

using kiv::fakes::ScopedEnvironment;
using kiv::fakes::TemporaryFolder;

TEST(WorkspaceTest, RefusesWhatItCannotOrMustNotOpen) {
    TemporaryFolder folder;
    struct Case {
        const char* name;
        std::optional<std::string> display;
        std::string target;
        std::string opener;
    };
    const Case cases[] = {
        {"no desktop session", std::nullopt, "/tmp", "true"},
        {"an option for the opener", ":0", "--help", "true"},
        {"nothing to open", ":0", "", "true"},
        {"no such opener", ":0", "/tmp", (folder.path() / "missing").string()},
    };
    for (const auto& c : cases) {
        ScopedEnvironment display("DISPLAY", c.display);
        ScopedEnvironment wayland("WAYLAND_DISPLAY", std::nullopt);
        EXPECT_FALSE(Workspace::open(c.target, c.opener)) << c.name;
    }
}

TEST(WorkspaceTest, TheOpenerGetsTheTargetAsItsOneArgument) {
    TemporaryFolder folder;
    const auto fifo = folder.path() / "seen";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto opener = folder.path() / "opener";
    std::ofstream(opener) << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"" << fifo.string() << "\"\n";
    ::chmod(opener.c_str(), 0700);

    ScopedEnvironment display("DISPLAY", std::nullopt);
    ScopedEnvironment wayland("WAYLAND_DISPLAY", "wayland-0");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const std::string target = folder.path().string() + "/Brannock Cloud; $(id)";
    ASSERT_TRUE(Workspace::open(target, opener.string()));
    pollfd p{reader, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    char buffer[512];
    std::string seen;
    for (;;) {
        const ssize_t n = ::read(reader, buffer, sizeof buffer);
        if (n > 0) {
            seen.append(buffer, std::size_t(n));
            continue;
        }
        if (n == 0) break;
        if (errno != EAGAIN || ::poll(&p, 1, 10000) != 1) break;
    }
    ::close(reader);
    EXPECT_EQ(seen, "1|" + target);
}

}  // namespace
}  // namespace platform
