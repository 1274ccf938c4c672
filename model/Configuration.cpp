#include "model/Configuration.hpp"

#include "model/JSONCoder.hpp"

namespace model {

Persistent Persistent::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    return Persistent{keyed.decode<std::string>("key")};
}

OrderedJSONValue Persistent::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("key", key);
    return std::move(keyed).take();
}

Configuration Configuration::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Configuration configuration;
    configuration.persistent = keyed.decodeIfPresent<Persistent>("persistent");
    configuration.runtime = keyed.decodeIfPresent<Runtime>("runtime");
    return configuration;
}

OrderedJSONValue Configuration::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("persistent", persistent);
    keyed.encodeIfPresent("runtime", runtime);
    return std::move(keyed).take();
}

Expected<Configuration, ErrorValue> Configuration::fromJSONString(std::string_view text,
                                                                  TextEncoding encoding) {
    return decodeJSONString<Configuration>(text, encoding);
}

}  // namespace model
