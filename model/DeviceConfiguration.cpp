#include "model/DeviceConfiguration.hpp"

#include "model/JSONCoder.hpp"
#include "model/ServerResponse.hpp"

namespace model {

static_assert(ServerResponse<DeviceConfiguration>);

DeviceConfiguration DeviceConfiguration::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    DeviceConfiguration configuration;
    configuration.error = keyed.decodeIfPresent<DeviceError>("error");
    configuration.id = keyed.decodeIfPresent<std::int64_t>("id");
    configuration.jsonrpc = keyed.decodeIfPresent<std::string>("jsonrpc");
    configuration.result = keyed.decodeIfPresent<DeviceResult>("result");
    return configuration;
}

OrderedJSONValue DeviceConfiguration::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("error", error);
    keyed.encodeIfPresent("id", id);
    keyed.encodeIfPresent("jsonrpc", jsonrpc);
    keyed.encodeIfPresent("result", result);
    return std::move(keyed).take();
}

Expected<std::optional<std::string>, ErrorValue> DeviceConfiguration::jsonString(
    TextEncoding encoding) const {
    return encodeJSONString(*this, encoding);
}

Expected<DeviceConfiguration, ErrorValue> DeviceConfiguration::fromJSONString(std::string_view text,
                                                                              TextEncoding encoding) {
    return decodeJSONString<DeviceConfiguration>(text, encoding);
}

const std::vector<LocationsTag>* DeviceConfiguration::locations() const {
    if (!result || !result->cfg || !result->cfg->runtime) return nullptr;
    return &result->cfg->runtime->locations;
}

bool DeviceConfiguration::operator==(const DeviceConfiguration& other) const {
    const auto* mine = locations();
    const auto* theirs = other.locations();
    if (mine == nullptr || theirs == nullptr) return mine == theirs;
    return *mine == *theirs;
}

}  // namespace model
