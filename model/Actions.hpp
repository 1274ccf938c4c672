#pragma once
// The server's commands to the agent ("actions"): disable, move to another server, shutdown,
// uninstall, upgrade.
#include <optional>
#include <string>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/Location.hpp"

namespace model {

// The "move" command.
struct MigrateToANewRPCServer {
    std::optional<std::string> key;    // "key"
    std::optional<Location> location;  // "location"
    std::optional<std::string> rpc;    // "rpc"

    static MigrateToANewRPCServer decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

// The "upgrade" command.
struct Upgrade {
    std::optional<std::string> args;     // "args"
    std::optional<std::string> url;      // "url"
    std::optional<std::string> version;  // "version"

    static Upgrade decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

struct Actions {
    std::optional<bool> disable;                 // "disable"
    std::optional<MigrateToANewRPCServer> move;  // "move"
    std::optional<bool> shutdown;                // "shutdown"
    std::optional<bool> uninstall;               // "uninstall"
    std::optional<Upgrade> upgrade;              // "upgrade"

    static Actions decode(const Decoder& decoder);
    OrderedJSONValue encode(const Encoder& encoder) const;
};

}  // namespace model
