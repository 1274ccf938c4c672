#pragma once
// The base of every log destination. It owns what all destinations share: the line format and its
// renderer, level words and colours, the minimum level and filters that decide whether a call is
// taken, a date formatter of its own, the creation time for uptime, and the serial queue on which
// the facade (LogFacility) hands it its work. Subclasses override send() to put the text somewhere.
//
// Threads: the owner configures the public fields before attaching the destination; after that
// they are read, not written. The facade calls accepts() on the logging thread and send() on
// `queue`. Rendering may be called from any thread (the date formatter carries its own lock).
// Work already queued keeps the destination alive until it has run.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/Logger/Filter.hpp"
#include "app/Logger/Level.hpp"
#include "app/Logger/LogContext.hpp"
#include "platform/Clock.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {

// One text per level.
struct LevelString {
    std::string verbose = "VERBOSE";
    std::string debug = "DEBUG";
    std::string info = "INFO";
    std::string warning = "WARNING";
    std::string error = "ERROR";
    const std::string& operator[](LogFacilityLevel level) const;
};

// One colour text per level; all empty unless a subclass or the owner sets them.
struct LevelColor {
    std::string verbose;
    std::string debug;
    std::string info;
    std::string warning;
    std::string error;
    const std::string& operator[](LogFacilityLevel level) const;
};

// What a destination takes from its surroundings; tests pin both.
struct DestinationEnvironment {
    platform::ClockPtr clock;     // null: the system clock
    std::string defaultTimeZone;  // ICU zone id of the formatter at start; "": the process's zone
};

class BaseDestination {
public:
    static constexpr const char* kDefaultFormat = "$DHH:mm:ss.SSS$d $C$L$c $N.$F:$l - $M";
    static constexpr const char* kQueueLabelPrefix = "logfacility-queue-";

    explicit BaseDestination(DestinationEnvironment environment = {});
    virtual ~BaseDestination();
    BaseDestination(const BaseDestination&) = delete;
    BaseDestination& operator=(const BaseDestination&) = delete;

    // Configuration: set before attaching.
    std::string format = kDefaultFormat;
    bool asynchronously = true;
    // Whether the facade hands lines to `queue` without waiting; a destination that
    // must always deliver in the caller's order overrides it.
    virtual bool isAsynchronous() const { return asynchronously; }
    LogFacilityLevel minLevel = LogFacilityLevel::verbose;
    LevelString levelString;
    LevelColor levelColor;
    std::string reset;
    std::string escape;
    bool debugPrint = false;
    // A serial queue labelled kQueueLabelPrefix + a fresh upper-case UUID. The facade skips a
    // destination whose queue is null.
    platform::DispatchQueuePtr queue;

    // Identity is the object; this only spreads destinations of one class into one bucket.
    virtual int defaultHashValue() const { return 0; }

    // Renders the call: a JSON entry when `format` begins with "$J", else a line. The base writes
    // nothing; subclasses write the text and return it. Absent when no text could be made.
    virtual std::optional<std::string> send(LogFacilityLevel level, const std::string& message,
                                            const std::string& thread, const std::string& file,
                                            const std::string& function, int line,
                                            const std::optional<LogContext>& context);

    // Runs `block` on `queue` (waiting when `synchronously`). A missing queue stops the process
    // with "Queue not set".
    virtual void execute(bool synchronously, platform::Task block);
    // Runs `block` on `queue`, waits, and returns its result or rethrows its exception.
    template <class Block>
    auto executeSynchronously(Block block) -> decltype(block());

    // Line rendering with `format` as template; trailing white space is removed.
    virtual std::string renderLine(LogFacilityLevel level, const std::string& message,
                                   const std::string& thread, const std::string& file,
                                   const std::string& function, int line,
                                   const std::optional<LogContext>& context);
    // Compact JSON of timestamp, level, message, thread, file, function, line (and context when
    // present). Absent, after printing "LogFacility could not create JSON from dict.", when the
    // entry cannot be serialised.
    std::optional<std::string> renderJSON(LogFacilityLevel level, const std::string& message,
                                          const std::string& thread, const std::string& file,
                                          const std::string& function, int line,
                                          const std::optional<LogContext>& context);

    virtual std::string levelWord(LogFacilityLevel level) const { return levelString[level]; }
    virtual std::string colorForLevel(LogFacilityLevel level) const { return levelColor[level]; }
    // Formats now with a Unicode date pattern. A non-empty `timeZone` (an abbreviation or zone id)
    // becomes the formatter's zone and stays so for later calls; an unknown one falls back to the
    // destination's default zone.
    virtual std::string formatDate(const std::string& pattern, const std::string& timeZone);
    // Time since construction as HH:mm:ss.SSS (hours keep all their digits).
    virtual std::string uptime() const;

    virtual void addFilter(FilterPtr filter);
    // Removes the first element that is this very filter object; nothing when there is none.
    virtual void removeFilter(const FilterPtr& filter);
    const std::vector<FilterPtr>& filters() const { return filters_; }

    // Whether the facade delivers this call (minimum level and filters).
    virtual bool accepts(LogFacilityLevel level, const std::string& path, const std::string& function,
                         const std::optional<std::string>& message);

    // Padding of a format piece: (sign × digits, characters consumed); (0, 0) without digits.
    static std::pair<int, std::size_t> parsePadding(const std::string& piece);
    // Pads to |length| user-perceived characters: right-aligned for length > 0, left-aligned for
    // length < 0. Longer values are kept whole unless `truncating`.
    static std::string paddedString(const std::string& value, int length, bool truncating);
    static std::string fileNameOfFile(const std::string& file);
    static std::string fileNameWithoutSuffix(const std::string& file);

    platform::Clock::TimePoint startDate() const { return startDate_; }
    const platform::ClockPtr& clock() const { return clock_; }

private:
    struct DateFormatter;

    std::string renderPiece(const std::string& piece, LogFacilityLevel level, const std::string& message,
                            const std::string& thread, const std::string& file, const std::string& function,
                            int line, const std::optional<LogContext>& context);

    platform::ClockPtr clock_;
    platform::Clock::TimePoint startDate_;
    std::vector<FilterPtr> filters_;
    std::unique_ptr<DateFormatter> formatter_;
};

using BaseDestinationPtr = std::shared_ptr<BaseDestination>;

// Stops the process with `message` on standard error (a state the code cannot go on from).
[[noreturn]] void logFacilityFatal(const char* message);

template <class Block>
auto BaseDestination::executeSynchronously(Block block) -> decltype(block()) {
    using Result = decltype(block());
    if (!queue) logFacilityFatal("Queue not set");
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
        queue->sync([&] {
            try {
                block();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        queue->sync([&] {
            try {
                result.emplace(block());
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure) std::rethrow_exception(failure);
        return std::move(*result);
    }
}

}  // namespace kiv
