#include "app/server/DeviceRequestModel.hpp"

namespace kiv {

using model::Decoder;
using model::Encoder;
using model::KeyedDecoder;
using model::KeyedEncoder;
using model::OrderedJSONValue;

Device Device::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    return Device{keyed.decode<std::string>("key"), keyed.decodeIfPresent<std::string>("version")};
}

OrderedJSONValue Device::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("key", key);
    keyed.encodeIfPresent("version", version);
    return std::move(keyed).take();
}

User User::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    User user;
    user.email = keyed.decode<std::string>("email");
    user.name = keyed.decodeIfPresent<std::string>("name");
    user.uuid = keyed.decodeIfPresent<std::string>("uuid");
    return user;
}

OrderedJSONValue User::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("email", email);
    keyed.encodeIfPresent("name", name);
    keyed.encodeIfPresent("uuid", uuid);
    return std::move(keyed).take();
}

NIC NIC::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    NIC nic;
    nic.nicDescription = keyed.decode<std::string>("description");
    nic.enabled = keyed.decodeIfPresent<bool>("enabled");
    nic.ipv4 = keyed.decodeIfPresent<std::string>("ipv4");
    nic.ipv6 = keyed.decodeIfPresent<std::string>("ipv6");
    return nic;
}

OrderedJSONValue NIC::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("description", nicDescription);
    keyed.encodeIfPresent("enabled", enabled);
    keyed.encodeIfPresent("ipv4", ipv4);
    keyed.encodeIfPresent("ipv6", ipv6);
    return std::move(keyed).take();
}

OperatingSystemInfo OperatingSystemInfo::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    OperatingSystemInfo os;
    os.type = keyed.decode<std::string>("type");
    os.version = keyed.decode<std::string>("version");
    return os;
}

OrderedJSONValue OperatingSystemInfo::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("type", type);
    keyed.encode("version", version);
    return std::move(keyed).take();
}

PublicIP PublicIP::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    return PublicIP{keyed.decodeIfPresent<std::string>("ipv4"), keyed.decodeIfPresent<std::string>("ipv6")};
}

OrderedJSONValue PublicIP::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("ipv4", ipv4);
    keyed.encodeIfPresent("ipv6", ipv6);
    return std::move(keyed).take();
}

Extra Extra::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Extra extra;
    extra.nics = keyed.decode<std::vector<NIC>>("nics");
    extra.os = keyed.decode<OperatingSystemInfo>("os");
    extra.publicIP = keyed.decodeIfPresent<PublicIP>("public_ip");
    return extra;
}

OrderedJSONValue Extra::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("nics", nics);
    keyed.encode("os", os);
    keyed.encodeIfPresent("public_ip", publicIP);
    return std::move(keyed).take();
}

ConfigParams ConfigParams::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    ConfigParams params;
    params.device = keyed.decode<Device>("device");
    params.extra = keyed.decodeIfPresent<Extra>("extra");
    params.location = keyed.decodeIfPresent<model::Location>("location");
    params.user = keyed.decodeIfPresent<User>("user");
    return params;
}

OrderedJSONValue ConfigParams::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("device", device);
    keyed.encodeIfPresent("extra", extra);
    keyed.encodeIfPresent("location", location);
    keyed.encodeIfPresent("user", user);
    return std::move(keyed).take();
}

DeviceRequestModel DeviceRequestModel::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    DeviceRequestModel request;
    request.jsonrpc = keyed.decode<std::string>("jsonrpc");
    request.method = keyed.decode<std::string>("method");
    request.params = keyed.decode<ConfigParams>("params");
    return request;
}

OrderedJSONValue DeviceRequestModel::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("jsonrpc", jsonrpc);
    keyed.encode("method", method);
    keyed.encode("params", params);
    return std::move(keyed).take();
}

}  // namespace kiv
