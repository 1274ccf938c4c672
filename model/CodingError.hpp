#pragma once
// The errors of the JSON decoder and encoder: what went wrong, where in the document (the coding
// path) and a description. Thrown inside the readers and writers of this folder and handed to
// callers as a value by JSONDecoder / JSONEncoder; it never escapes those entry points.
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/ErrorValue.hpp"

namespace model {

// One step of a coding path: an object member's key, or an array element's index (whose text
// is "Index <n>").
struct CodingKey {
    std::string stringValue;
    std::optional<int> intValue;

    static CodingKey key(std::string_view text) { return CodingKey{std::string(text), std::nullopt}; }
    static CodingKey index(int position) { return CodingKey{"Index " + std::to_string(position), position}; }
    bool operator==(const CodingKey&) const = default;
};

using CodingPath = std::vector<CodingKey>;

// A coding path as the readers and writers build it while they descend: each step lives on the
// stack of the call that reads or writes that member or element, so descending copies nothing.
// The path is materialised only when an error needs it.
struct CodingPathLink {
    const CodingPathLink* parent = nullptr;
    std::string_view key;  // the member's key, when index < 0
    int index = -1;        // the element's index, when >= 0
};

CodingPath materialize(const CodingPathLink* last);

// "result.filters[1].domain"; the empty path is "<root>".
std::string describeCodingPath(const CodingPath& path);

class CodingError : public std::exception {
public:
    enum class Kind {
        // decoding
        typeMismatch,   // the JSON value is of another type than the one asked for
        valueNotFound,  // null where a value is required
        keyNotFound,    // a required member is missing
        dataCorrupted,  // the text is not JSON, a number does not fit, a raw value matches no case
        // encoding
        invalidValue,  // a value that JSON cannot express
    };

    CodingError(Kind kind, CodingPath path, std::string debugDescription, std::string subject = {},
                std::string underlying = {});

    Kind kind() const { return kind_; }
    const CodingPath& codingPath() const { return path_; }
    const std::string& debugDescription() const { return debugDescription_; }
    // The expected type (typeMismatch, valueNotFound) or the missing key (keyNotFound).
    const std::string& subject() const { return subject_; }
    // The JSON parser's own message when the text is not JSON; empty otherwise.
    const std::string& underlying() const { return underlying_; }

    bool isDecodingError() const { return kind_ != Kind::invalidValue; }

    // "<kind> at <path>: <debug description>[ (<underlying>)]"
    std::string description() const;
    // As the platform bridges coder errors: domain "NSCocoaErrorDomain", code 4865 for a missing
    // key or value, 4864 for other read errors, 4866 for write errors; the message is description().
    ErrorValue errorValue() const;

    const char* what() const noexcept override { return what_.c_str(); }

private:
    Kind kind_;
    CodingPath path_;
    std::string debugDescription_;
    std::string subject_;
    std::string underlying_;
    std::string what_;
};

std::string_view kindName(CodingError::Kind kind);

}  // namespace model
