#include "app/Logger/BaseDestination.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "app/Logger/FilterValidator.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "platform/UUID.hpp"

namespace kiv {
namespace {

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

bool isWhiteSpace(UChar32 c) { return c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE); }

// Removes white space (and line breaks) at the end; invalid UTF-8 stops the scan.
std::string trimmingTrailingWhiteSpace(std::string text) {
    int32_t end = static_cast<int32_t>(text.size());
    while (end > 0) {
        int32_t at = end;
        UChar32 c;
        U8_PREV(reinterpret_cast<const uint8_t*>(text.data()), 0, at, c);
        if (!isWhiteSpace(c)) break;
        end = at;
    }
    text.resize(static_cast<std::size_t>(end));
    return text;
}

std::string trimmingWhiteSpace(const std::string& text) {
    std::string tail = trimmingTrailingWhiteSpace(text);
    int32_t start = 0;
    const int32_t length = static_cast<int32_t>(tail.size());
    while (start < length) {
        int32_t at = start;
        UChar32 c;
        U8_NEXT(reinterpret_cast<const uint8_t*>(tail.data()), at, length, c);
        if (!isWhiteSpace(c)) break;
        start = at;
    }
    return tail.substr(static_cast<std::size_t>(start));
}

// Boundaries of user-perceived characters, as offsets into `text`.
std::vector<int32_t> graphemeBoundaries(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    thread_local std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::vector<int32_t> boundaries;
    if (!iterator) {
        for (int32_t i = 0; i <= text.length(); i = text.moveIndex32(i, 1)) {
            boundaries.push_back(i);
            if (i == text.length()) break;
        }
        return boundaries;
    }
    iterator->setText(text);
    for (int32_t at = iterator->first(); at != icu::BreakIterator::DONE; at = iterator->next()) {
        boundaries.push_back(at);
    }
    return boundaries;
}

double secondsSinceEpoch(platform::Clock::TimePoint t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

const std::string& LevelString::operator[](LogFacilityLevel level) const { return levelMember(*this, level); }
const std::string& LevelColor::operator[](LogFacilityLevel level) const { return levelMember(*this, level); }

[[noreturn]] void logFacilityFatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
}

// The destination's one date formatter. Its zone sticks: a zone set for one token stays for the
// next ones.
struct BaseDestination::DateFormatter {
    std::mutex mutex;
    std::unique_ptr<icu::TimeZone> defaultZone;
    std::unique_ptr<icu::SimpleDateFormat> format;  // null when ICU could not make one

    explicit DateFormatter(const std::string& defaultZoneId) {
        defaultZone.reset(defaultZoneId.empty()
                              ? icu::TimeZone::createDefault()
                              : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(defaultZoneId)));
        if (*defaultZone == icu::TimeZone::getUnknown()) defaultZone.reset(icu::TimeZone::createDefault());
        UErrorCode status = U_ZERO_ERROR;
        format =
            std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(), icu::Locale("en_US_POSIX"), status);
        if (U_FAILURE(status)) {
            format.reset();
            return;
        }
        format->setTimeZone(*defaultZone);
    }
};

BaseDestination::BaseDestination(DestinationEnvironment environment)
    : queue(platform::makeSerialQueue(kQueueLabelPrefix + platform::makeUUIDString())),
      clock_(environment.clock ? std::move(environment.clock) : platform::systemClock()),
      startDate_(clock_->now()),
      formatter_(std::make_unique<DateFormatter>(environment.defaultTimeZone)) {}

BaseDestination::~BaseDestination() = default;

std::optional<std::string> BaseDestination::send(LogFacilityLevel level, const std::string& message,
                                                 const std::string& thread, const std::string& file,
                                                 const std::string& function, int line,
                                                 const std::optional<LogContext>& context) {
    if (format.rfind("$J", 0) == 0) return renderJSON(level, message, thread, file, function, line, context);
    return renderLine(level, message, thread, file, function, line, context);
}

void BaseDestination::execute(bool synchronously, platform::Task block) {
    if (!queue) logFacilityFatal("Queue not set");
    if (synchronously) {
        queue->sync(std::move(block));
    } else {
        queue->async(std::move(block));
    }
}

std::string BaseDestination::renderLine(LogFacilityLevel level, const std::string& message,
                                        const std::string& thread, const std::string& file,
                                        const std::string& function, int line,
                                        const std::optional<LogContext>& context) {
    std::string text;
    for (const std::string& piece : splitAt("$I" + format, '$')) {
        if (piece.empty()) continue;
        text += renderPiece(piece, level, message, thread, file, function, line, context);
    }
    return trimmingTrailingWhiteSpace(std::move(text));
}

std::string BaseDestination::renderPiece(const std::string& piece, LogFacilityLevel level,
                                         const std::string& message, const std::string& thread,
                                         const std::string& file, const std::string& function, int line,
                                         const std::optional<LogContext>& context) {
    const auto [padding, consumed] = parsePadding(piece);
    // Digits with no token after them: nothing to render, so the text stands as written.
    if (consumed >= piece.size()) return piece;
    const char token = piece[consumed];
    std::string rest = piece.substr(consumed + 1);
    const auto padded = [padding = padding](const std::string& value) {
        return paddedString(value, padding, false);
    };
    switch (token) {
        case 'I':
            return rest;
        case 'L':
            return padded(levelWord(level)) + rest;
        case 'M':
            return padded(message) + rest;
        case 'T':
            return padded(thread) + rest;
        case 'N':
            return padded(fileNameWithoutSuffix(file)) + rest;
        case 'n':
            return padded(fileNameOfFile(file)) + rest;
        case 'F':
            return padded(function) + rest;
        case 'l':
            return padded(std::to_string(line)) + rest;
        case 'D':
            return padded(formatDate(rest, ""));
        case 'd':
            return rest;
        case 'U':
            return padded(uptime()) + rest;
        case 'Z':
            return padded(formatDate(rest, "UTC"));
        case 'z':
            return rest;
        case 'C':
            return escape + colorForLevel(level) + rest;
        case 'c':
            return reset + rest;
        case 'X':
            return padded(context ? trimmingWhiteSpace(describeContext(*context)) : std::string()) + rest;
        default:
            return piece;
    }
}

std::optional<std::string> BaseDestination::renderJSON(LogFacilityLevel level, const std::string& message,
                                                       const std::string& thread, const std::string& file,
                                                       const std::string& function, int line,
                                                       const std::optional<LogContext>& context) {
    nlohmann::json entry = {
        {"timestamp", secondsSinceEpoch(clock_->now())},
        {"level", rawValue(level)},
        {"message", message},
        {"thread", thread},
        {"file", file},
        {"function", function},
        {"line", line},
    };
    if (context) entry["context"] = *context;
    try {
        return entry.dump();
    } catch (const nlohmann::json::exception&) {
        printLine("LogFacility could not create JSON from dict.");
        return std::nullopt;
    }
}

std::string BaseDestination::formatDate(const std::string& pattern, const std::string& timeZone) {
    std::lock_guard lock(formatter_->mutex);
    icu::SimpleDateFormat* format = formatter_->format.get();
    if (!format) return {};
    if (!timeZone.empty()) {
        std::unique_ptr<icu::TimeZone> zone(
            icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
        if (*zone == icu::TimeZone::getUnknown()) zone.reset(formatter_->defaultZone->clone());
        format->adoptTimeZone(zone.release());
    }
    format->applyPattern(icu::UnicodeString::fromUTF8(pattern));
    const UDate millis = secondsSinceEpoch(clock_->now()) * 1000.0;
    icu::UnicodeString formatted;
    format->format(millis, formatted);
    std::string text;
    formatted.toUTF8String(text);
    return text;
}

std::string BaseDestination::uptime() const {
    const double t = std::chrono::duration<double>(clock_->now() - startDate_).count();
    const auto whole = static_cast<long long>(t);
    const auto wholeMinutes = static_cast<long long>(t / 60);
    const long long hours = whole / 3600;
    const long long minutes = wholeMinutes - hours * 60;
    const long long seconds = whole - wholeMinutes * 60;
    const auto millis = static_cast<long long>((t - std::trunc(t)) * 1000);
    char text[96];
    std::snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%03lld", hours, minutes, seconds, millis);
    return text;
}

void BaseDestination::addFilter(FilterPtr filter) { filters_.push_back(std::move(filter)); }

void BaseDestination::removeFilter(const FilterPtr& filter) {
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
        if (it->get() == filter.get()) {
            filters_.erase(it);
            return;
        }
    }
}

bool BaseDestination::accepts(LogFacilityLevel level, const std::string& path, const std::string& function,
                              const std::optional<std::string>& message) {
    const bool levelHolds = isAtOrAbove(level, minLevel);
    if (filters_.empty()) {
        if (debugPrint) {
            printLine(levelHolds ? "filters are empty and level >= minLevel"
                                 : "filters are empty and level < minLevel");
        }
        return levelHolds;
    }
    using Validation = FilterValidator::ValidationType;
    using Kind = FilterValidator::Result::Kind;
    const auto results = FilterValidator::evaluate(filters_, level, path, function, message);
    const auto kindOf = [&](Validation type) -> std::optional<FilterValidator::Result> {
        auto found = results.find(type);
        if (found == results.end()) return std::nullopt;
        return found->second;
    };

    if (auto excluded = kindOf(Validation::excluded); excluded && excluded->kind == Kind::someFiltersMatch) {
        if (debugPrint) printLine("filters are not empty and message was excluded");
        return false;
    }
    if (auto required = kindOf(Validation::required)) {
        if (required->kind == Kind::allFiltersMatch) return true;
        if (required->kind == Kind::someFiltersMatch) return false;
    }
    const auto nonRequired = kindOf(Validation::nonRequired);
    if (!nonRequired || nonRequired->kind == Kind::noFiltersMatchingType) return levelHolds;
    if (nonRequired->kind == Kind::allFiltersMatch) return true;
    if (nonRequired->data.fullMatchCount > 0) return true;
    if (nonRequired->data.conditionMatchCount > 0) return false;
    return levelHolds;
}

std::pair<int, std::size_t> BaseDestination::parsePadding(const std::string& piece) {
    const bool minus = !piece.empty() && piece.front() == '-';
    const std::size_t digitsStart = minus ? 1 : 0;
    std::size_t digitsEnd = digitsStart;
    while (digitsEnd < piece.size() && piece[digitsEnd] >= '0' && piece[digitsEnd] <= '9') ++digitsEnd;
    int number = 0;
    const auto [end, error] = std::from_chars(piece.data() + digitsStart, piece.data() + digitsEnd, number);
    if (digitsEnd == digitsStart || error != std::errc() || end != piece.data() + digitsEnd) return {0, 0};
    return {minus ? -number : number, digitsEnd - digitsStart + (minus ? 1 : 0)};
}

std::string BaseDestination::paddedString(const std::string& value, int length, bool truncating) {
    if (length == 0) return value;
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(value);
    const std::vector<int32_t> boundaries = graphemeBoundaries(text);
    const std::size_t count = boundaries.empty() ? 0 : boundaries.size() - 1;
    const std::size_t width = static_cast<std::size_t>(length > 0 ? length : -static_cast<long long>(length));
    if (count <= width) {
        const std::string spaces(width - count, ' ');
        return length > 0 ? spaces + value : value + spaces;
    }
    if (!truncating) return value;
    icu::UnicodeString kept =
        length > 0 ? text.tempSubString(boundaries[count - width]) : text.tempSubString(0, boundaries[width]);
    std::string out;
    kept.toUTF8String(out);
    return out;
}

std::string BaseDestination::fileNameOfFile(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

std::string BaseDestination::fileNameWithoutSuffix(const std::string& file) {
    const std::string name = fileNameOfFile(file);
    return name.substr(0, name.find('.'));
}

}  // namespace kiv
