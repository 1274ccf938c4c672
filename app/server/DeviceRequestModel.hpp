#pragma once
// The body of the configuration call "device_configure": the envelope DeviceRequestModel and the
// values below it. Plain values that carry their JSON coding rules: members are written in
// declaration order (which is also alphabetical), required ones always, optional ones only when
// set (never as null); decoding mirrors it and ignores keys a type does not declare.
//
// Any thread.
#include <optional>
#include <string>
#include <vector>

#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/Location.hpp"

namespace kiv {

struct Device {
    std::string key;                     // "key"
    std::optional<std::string> version;  // "version"

    static Device decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct User {
    std::string email;                // "email"
    std::optional<std::string> name;  // "name"
    std::optional<std::string> uuid;  // "uuid"

    static User decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct NIC {
    std::string nicDescription;       // "description"
    std::optional<bool> enabled;      // "enabled"
    std::optional<std::string> ipv4;  // "ipv4"
    std::optional<std::string> ipv6;  // "ipv6"

    static NIC decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct OperatingSystemInfo {
    std::string type;     // "type"
    std::string version;  // "version"

    static OperatingSystemInfo decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct PublicIP {
    std::optional<std::string> ipv4;  // "ipv4"
    std::optional<std::string> ipv6;  // "ipv6"

    static PublicIP decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct Extra {
    std::vector<NIC> nics;             // "nics", written even when empty
    OperatingSystemInfo os;            // "os"
    std::optional<PublicIP> publicIP;  // "public_ip"

    static Extra decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct ConfigParams {
    Device device;                            // "device"
    std::optional<Extra> extra;               // "extra"
    std::optional<model::Location> location;  // "location"
    std::optional<User> user;                 // "user"

    static ConfigParams decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

struct DeviceRequestModel {
    std::string jsonrpc;  // "jsonrpc"
    std::string method;   // "method"
    ConfigParams params;  // "params"

    static DeviceRequestModel decode(const model::Decoder& decoder);
    model::OrderedJSONValue encode(const model::Encoder& encoder) const;
};

}  // namespace kiv
