#pragma once
// Where a named service listens: a Unix-domain socket "<run folder>/<name>.sock".
// The run folder is $KIV_RUN_DIR when set and not empty, else "/run/kiv".
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kXPCRunDirEnv = "KIV_RUN_DIR";
inline constexpr const char* kXPCDefaultRunDir = "/run/kiv";

std::string xpcRunDirectory();

struct XPCServiceAddress {
    std::string path;       // the socket path; empty on error
    sockaddr_un address{};  // filled when `error` is empty
    std::string error;      // why the name cannot be served
};

// A service name is 1 to 255 characters of letters, digits, '.', '_' and '-',
// starting with a letter or digit. The socket path must fit sun_path (107 bytes).
XPCServiceAddress xpcServiceAddress(std::string_view serviceName);

}  // namespace platform
