#pragma once
// The two JSON-RPC methods of the device server and the path each is posted to. Stateless.
#include <cstdint>
#include <string_view>

namespace kiv {

enum class ServerMethods : std::uint8_t {
    accountAddDevice,  // "account_add_device" on "/api/register"
    configDevice,      // "device_configure" on "/api/device"
};

// The JSON-RPC method name ("account_add_device").
std::string_view rawValue(ServerMethods method);
// The case's own name ("accountAddDevice"), as log lines print it.
std::string_view caseName(ServerMethods method);
// The server path the method is posted to ("/api/register").
std::string_view serverPath(ServerMethods method);

}  // namespace kiv
