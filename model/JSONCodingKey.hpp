#pragma once
// The key of an object member whose name is known only at run time (the members of a JSONAny
// object). Keys have text only: making one from an integer gives no key.
#include <optional>
#include <string>

namespace model {

class JSONCodingKey {
public:
    static std::optional<JSONCodingKey> fromStringValue(std::string key) {
        return JSONCodingKey(std::move(key));
    }
    static std::optional<JSONCodingKey> fromIntValue(int) { return std::nullopt; }

    const std::string& key() const { return key_; }
    const std::string& stringValue() const { return key_; }
    std::optional<int> intValue() const { return std::nullopt; }

    // JSONCodingKey(stringValue: "<key>", intValue: nil)
    std::string description() const { return "JSONCodingKey(stringValue: \"" + key_ + "\", intValue: nil)"; }

private:
    explicit JSONCodingKey(std::string key) : key_(std::move(key)) {}
    std::string key_;
};

}  // namespace model
