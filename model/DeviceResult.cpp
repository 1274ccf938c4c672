#include "model/DeviceResult.hpp"

namespace model {

DeviceResult DeviceResult::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    DeviceResult result;
    result.actions = keyed.decodeIfPresent<Actions>("actions");
    result.cfg = keyed.decodeIfPresent<Configuration>("cfg");
    result.filters = keyed.decodeIfPresent<std::vector<ForwardingRule>>("filters");
    return result;
}

OrderedJSONValue DeviceResult::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("actions", actions);
    keyed.encodeIfPresent("cfg", cfg);
    keyed.encodeIfPresent("filters", filters);
    return std::move(keyed).take();
}

}  // namespace model
