#include "model/LocationsTag.hpp"

#include "model/TextEquality.hpp"

namespace model {

LocationsTag LocationsTag::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    LocationsTag tag;
    tag.name = keyed.decode<std::string>("name");
    tag.rule = keyed.decodeIfPresent<std::string>("rule");
    tag.tag = keyed.decode<std::string>("tag");
    return tag;
}

OrderedJSONValue LocationsTag::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encode("name", name);
    keyed.encodeIfPresent("rule", rule);
    keyed.encode("tag", tag);
    return std::move(keyed).take();
}

bool LocationsTag::operator==(const LocationsTag& other) const {
    if (!canonicallyEqual(name, other.name)) return false;
    if (rule.has_value() != other.rule.has_value()) return false;
    if (rule && !canonicallyEqual(*rule, *other.rule)) return false;
    return canonicallyEqual(tag, other.tag);
}

}  // namespace model
