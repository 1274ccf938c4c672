#pragma once
// JSON text in and out, on nlohmann-json. Parsing is strict and bounded: any nesting deeper than
// kMaxJSONNesting, and any number too large for a double, is refused, so hostile input can
// neither overflow the stack nor slip infinities into a document. Writing is compact, never
// throws on text that is not valid UTF-8 (such bytes become U+FFFD) and optionally sorts the
// members of every object by key.
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "model/CodingError.hpp"
#include "model/Expected.hpp"

namespace model {

// A parsed document, as the readers walk it.
using JSONValue = nlohmann::json;
// A document being written: members stay in the order they were written.
using OrderedJSONValue = nlohmann::ordered_json;

// Arrays and objects may nest this deep, no deeper (the outermost container is level 1).
inline constexpr int kMaxJSONNesting = 512;

enum class TextEncoding { utf8, ascii };

bool isValidUTF8(std::string_view bytes);
// True when every byte of text can be represented in the encoding.
bool isRepresentable(std::string_view text, TextEncoding encoding);

// Parses one JSON text (leading/trailing whitespace allowed, nothing else after the value).
// Fails with dataCorrupted "The given data was not valid JSON." and the parser's message.
Expected<JSONValue, CodingError> parseJSON(std::string_view bytes);

// Compact text ("," and ":" without spaces). With sortedKeys every object's members are written
// in ascending byte order of their keys (for UTF-8, code-point order); otherwise in the order
// they were written.
std::string serializeJSON(const OrderedJSONValue& document, bool sortedKeys);

// Appends a member to an object under construction without the linear duplicate search of
// ordered_json's insertion; the caller guarantees that key is not yet a member.
void appendUniqueMember(OrderedJSONValue& object, std::string key, OrderedJSONValue value);

}  // namespace model
