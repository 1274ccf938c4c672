#include "platform/xpc/XPCServiceAddress.hpp"

#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

bool validServiceName(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    auto alnum = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alnum(name.front())) return false;
    for (char c : name) {
        if (!alnum(c) && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

}  // namespace

std::string xpcRunDirectory() {
    const char* dir = std::getenv(kXPCRunDirEnv);
    if (dir != nullptr && *dir != '\0') return dir;
    return kXPCDefaultRunDir;
}

XPCServiceAddress xpcServiceAddress(std::string_view serviceName) {
    XPCServiceAddress out;
    if (!validServiceName(serviceName)) {
        out.error = "invalid service name \"" + std::string(serviceName) + "\"";
        return out;
    }
    std::string dir = xpcRunDirectory();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string path = dir + "/" + std::string(serviceName) + ".sock";
    if (path.size() >= sizeof(out.address.sun_path)) {
        out.error = "socket path for service " + std::string(serviceName) + " is " +
                    std::to_string(path.size()) + " bytes, longer than the limit of " +
                    std::to_string(sizeof(out.address.sun_path) - 1) + ": " + path;
        return out;
    }
    out.address.sun_family = AF_UNIX;
    std::memcpy(out.address.sun_path, path.data(), path.size());
    out.address.sun_path[path.size()] = '\0';
    out.path = std::move(path);
    return out;
}

}  // namespace platform
