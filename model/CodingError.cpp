#include "model/CodingError.hpp"

namespace model {

CodingPath materialize(const CodingPathLink* last) {
    CodingPath path;
    for (const CodingPathLink* link = last; link != nullptr; link = link->parent) {
        path.push_back(link->index >= 0 ? CodingKey::index(link->index) : CodingKey::key(link->key));
    }
    return CodingPath(path.rbegin(), path.rend());
}

std::string describeCodingPath(const CodingPath& path) {
    if (path.empty()) return "<root>";
    std::string text;
    for (const CodingKey& step : path) {
        if (step.intValue) {
            text += "[" + std::to_string(*step.intValue) + "]";
        } else {
            if (!text.empty()) text += ".";
            text += step.stringValue;
        }
    }
    return text;
}

std::string_view kindName(CodingError::Kind kind) {
    switch (kind) {
        case CodingError::Kind::typeMismatch:
            return "typeMismatch";
        case CodingError::Kind::valueNotFound:
            return "valueNotFound";
        case CodingError::Kind::keyNotFound:
            return "keyNotFound";
        case CodingError::Kind::dataCorrupted:
            return "dataCorrupted";
        case CodingError::Kind::invalidValue:
            return "invalidValue";
    }
    return "unknown";
}

CodingError::CodingError(Kind kind, CodingPath path, std::string debugDescription, std::string subject,
                         std::string underlying)
    : kind_(kind),
      path_(std::move(path)),
      debugDescription_(std::move(debugDescription)),
      subject_(std::move(subject)),
      underlying_(std::move(underlying)) {
    what_ = description();
}

std::string CodingError::description() const {
    std::string text =
        std::string(kindName(kind_)) + " at " + describeCodingPath(path_) + ": " + debugDescription_;
    if (!underlying_.empty()) text += " (" + underlying_ + ")";
    return text;
}

ErrorValue CodingError::errorValue() const {
    std::int64_t code = 4864;
    if (kind_ == Kind::keyNotFound || kind_ == Kind::valueNotFound) code = 4865;
    if (kind_ == Kind::invalidValue) code = 4866;
    return ErrorValue{"NSCocoaErrorDomain", code, description()};
}

}  // namespace model
