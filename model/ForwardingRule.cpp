#include "model/ForwardingRule.hpp"

#include "model/JSONCoder.hpp"

namespace model {

ForwardingRule ForwardingRule::decode(const Decoder& decoder) {
    KeyedDecoder keyed = decoder.keyedContainer();
    ForwardingRule rule;
    rule.domain = keyed.decodeIfPresent<std::string>("domain");
    rule.resolvers = keyed.decodeIfPresent<std::vector<std::string>>("resolvers");
    rule.rule = keyed.decodeIfPresent<std::string>("rule");
    return rule;
}

OrderedJSONValue ForwardingRule::encode(const Encoder& encoder) const {
    KeyedEncoder keyed(encoder);
    keyed.encodeIfPresent("domain", domain);
    keyed.encodeIfPresent("resolvers", resolvers);
    keyed.encodeIfPresent("rule", rule);
    return std::move(keyed).take();
}

Expected<std::optional<std::string>, ErrorValue> ForwardingRule::jsonString(TextEncoding encoding) const {
    return encodeJSONString(*this, encoding);
}

}  // namespace model
