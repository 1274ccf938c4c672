#pragma once
// An error as the programs report it to their callers and logs: a domain, a code within it
// and a readable message (the shape of the platform's NSError). A plain value; copy freely.
#include <cstdint>
#include <string>

namespace model {

struct ErrorValue {
    std::string domain;
    std::int64_t code = 0;
    std::string message;

    bool operator==(const ErrorValue&) const = default;

    // The error of the configuration text readers when the text cannot be turned into bytes of
    // the requested encoding: domain "JSONDecoding", code 0, no further information.
    static ErrorValue jsonReaderError();

    // "<domain> <code>: <message>", for logs.
    std::string description() const;
};

}  // namespace model
