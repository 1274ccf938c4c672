#include "model/DeviceError.hpp"

namespace model {

DeviceError DeviceError::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    DeviceError error;
    error.code = keyed.decode<std::int64_t>("code");
    error.data = keyed.decodeIfPresent<JSONAny>("data");
    error.message = keyed.decode<std::string>("message");
    return error;
}

OrderedJSONValue DeviceError::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("code", code);
    keyed.encodeIfPresent("data", data);
    keyed.encode("message", message);
    return std::move(keyed).take();
}

}  // namespace model
