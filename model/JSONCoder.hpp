#pragma once
// Entry points of JSON coding: JSONEncoder and JSONDecoder turn values into JSON bytes and back
// and return every failure as a value (no exception leaves them); encodeJSONString and
// decodeJSONString are the text operations of the configuration types. Stateless apart from
// their settings; use from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "model/CodingError.hpp"
#include "model/Decoder.hpp"
#include "model/Encoder.hpp"
#include "model/ErrorValue.hpp"
#include "model/Expected.hpp"
#include "model/JSONText.hpp"

namespace model {

// Writes values as compact JSON (no indentation, no spaces after separators). Default settings
// (sortedKeys false) write each object's members in the order the type writes them.
struct JSONEncoder {
    bool sortedKeys = false;
    DateEncodingStrategy dateEncodingStrategy = DateEncodingStrategy::deferredToDate;

    template <class T>
    Expected<std::string, CodingError> encode(const T& value) const {
        try {
            OrderedJSONValue document = Encoder(dateEncodingStrategy).encode(value);
            return serializeJSON(document, sortedKeys);
        } catch (const CodingError& error) {
            return unexpected(error);
        } catch (const std::exception& error) {
            return unexpected(CodingError(CodingError::Kind::invalidValue, {},
                                          "The value could not be encoded.", {}, error.what()));
        }
    }
};

// Reads values from JSON bytes. No type of the model reads a date, so there is no date setting.
struct JSONDecoder {
    template <class T>
    Expected<T, CodingError> decode(std::string_view bytes) const {
        auto document = parseJSON(bytes);
        if (!document) return unexpected(document.error());
        return decodeDocument<T>(*document);
    }

    // From a document already parsed (or built in code).
    template <class T>
    Expected<T, CodingError> decodeDocument(const JSONValue& document) const {
        try {
            return Decoder(document).decode<T>();
        } catch (const CodingError& error) {
            return unexpected(error);
        } catch (const std::exception& error) {
            return unexpected(CodingError(CodingError::Kind::dataCorrupted, {},
                                          "The value could not be decoded.", {}, error.what()));
        }
    }
};

// The configuration writers: sorted keys, compact, dates as ISO 8601 text. The result is no
// text (not an error) when the JSON cannot be represented in the encoding; an encoder error is
// returned as its ErrorValue.
template <class T>
Expected<std::optional<std::string>, ErrorValue> encodeJSONString(const T& value, TextEncoding encoding) {
    JSONEncoder encoder{.sortedKeys = true, .dateEncodingStrategy = DateEncodingStrategy::iso8601};
    auto bytes = encoder.encode(value);
    if (!bytes) return unexpected(bytes.error().errorValue());
    if (!isRepresentable(*bytes, encoding)) return std::optional<std::string>();
    return std::optional<std::string>(std::move(*bytes));
}

// The configuration readers: text that is not valid in the encoding fails with
// ErrorValue::jsonReaderError() and nothing else is tried; otherwise the decoder's error, if
// any, is returned as its ErrorValue.
template <class T>
Expected<T, ErrorValue> decodeJSONString(std::string_view text, TextEncoding encoding) {
    if (!isRepresentable(text, encoding)) return unexpected(ErrorValue::jsonReaderError());
    auto decoded = JSONDecoder{}.decode<T>(text);
    if (!decoded) return unexpected(decoded.error().errorValue());
    return std::move(*decoded);
}

}  // namespace model
