#include "model/Runtime.hpp"

namespace model {

Runtime Runtime::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    Runtime runtime;
    runtime.locations = keyed.decode<std::vector<LocationsTag>>("locations");
    runtime.kiv = keyed.decodeIfPresent<Kiv>("kiv");
    runtime.reconfigure = keyed.decodeIfPresent<std::int64_t>("reconfigure");
    runtime.user = keyed.decodeIfPresent<std::string>("user");
    return runtime;
}

OrderedJSONValue Runtime::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("locations", locations);
    keyed.encodeIfPresent("kiv", kiv);
    keyed.encodeIfPresent("reconfigure", reconfigure);
    keyed.encodeIfPresent("user", user);
    return std::move(keyed).take();
}

}  // namespace model
