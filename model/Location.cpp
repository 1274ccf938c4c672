#include "model/Location.hpp"

namespace model {

Location Location::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Location location;
    location.name = keyed.decodeIfPresent<std::string>("name");
    location.randomize = keyed.decodeIfPresent<bool>("randomize");
    return location;
}

OrderedJSONValue Location::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("name", name);
    keyed.encodeIfPresent("randomize", randomize);
    return std::move(keyed).take();
}

}  // namespace model
