#include "app/server/ServerMethods.hpp"

namespace kiv {

std::string_view rawValue(ServerMethods method) {
    return method == ServerMethods::accountAddDevice ? "account_add_device" : "device_configure";
}

std::string_view caseName(ServerMethods method) {
    return method == ServerMethods::accountAddDevice ? "accountAddDevice" : "configDevice";
}

std::string_view serverPath(ServerMethods method) {
    return method == ServerMethods::accountAddDevice ? "/api/register" : "/api/device";
}

}  // namespace kiv
