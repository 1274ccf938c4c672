#include "model/JSONNull.hpp"

namespace model {

JSONNull JSONNull::decode(const Decoder& decoder) {
    if (!decoder.decodeNil())
        decoder.fail(CodingError::Kind::typeMismatch, "Wrong type for JSONNull", "JSONNull");
    return JSONNull{};
}

}  // namespace model
