#include "model/DCResult.hpp"

namespace model {

DCResult DCResult::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    DCResult result;
    result.device = keyed.decode<std::string>("device");
    result.name = keyed.decode<std::string>("name");
    result.type = keyed.decode<std::string>("type");
    return result;
}

OrderedJSONValue DCResult::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("device", device);
    keyed.encode("name", name);
    keyed.encode("type", type);
    return std::move(keyed).take();
}

}  // namespace model
