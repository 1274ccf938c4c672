#pragma once
// The process-wide logging facade: destinations are attached to it, and every log call is handed
// to each attached destination that has a queue and accepts the call, on that destination's queue.
// Class operations only; no instance is ever made.
//
// Threads: every operation may be called from any thread. The set of destinations carries its own
// lock and delivery works from a snapshot, so attaching or detaching while others log is safe.
// The message is evaluated at most once per call, on the calling thread, and only when some
// destination takes the call or filters on the message.
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

#include "app/Logger/BaseDestination.hpp"
#include "app/Logger/Level.hpp"
#include "app/Logger/LogContext.hpp"

namespace kiv {

class LogFacility {
public:
    using Level = LogFacilityLevel;
    using Message = std::function<std::string()>;

    static constexpr const char* version = "1.0.0";
    static constexpr int build = 100;

    LogFacility() = delete;

    // False (and nothing changes) when that very object is already attached.
    static bool attach(BaseDestinationPtr destination);
    // False when that object was not attached.
    static bool detach(const BaseDestinationPtr& destination);
    static void detachAll();
    static int countDestinations();
    // Waits until every line handed to a destination so far has been written (before the process
    // ends: destinations write on queues of their own).
    static void waitForPendingLines();

    template <class F>
    static void logVerbose(F&& message, const std::string& file, const std::string& function, int line,
                           const std::optional<LogContext>& context = std::nullopt) {
        log(Level::verbose, deferred(std::forward<F>(message)), file, function, line, context);
    }
    template <class F>
    static void logDebug(F&& message, const std::string& file, const std::string& function, int line,
                         const std::optional<LogContext>& context = std::nullopt) {
        log(Level::debug, deferred(std::forward<F>(message)), file, function, line, context);
    }
    template <class F>
    static void logInfo(F&& message, const std::string& file, const std::string& function, int line,
                        const std::optional<LogContext>& context = std::nullopt) {
        log(Level::info, deferred(std::forward<F>(message)), file, function, line, context);
    }
    template <class F>
    static void logWarning(F&& message, const std::string& file, const std::string& function, int line,
                           const std::optional<LogContext>& context = std::nullopt) {
        log(Level::warning, deferred(std::forward<F>(message)), file, function, line, context);
    }
    template <class F>
    static void logError(F&& message, const std::string& file, const std::string& function, int line,
                         const std::optional<LogContext>& context = std::nullopt) {
        log(Level::error, deferred(std::forward<F>(message)), file, function, line, context);
    }

    // The common path: takes the thread label on the calling thread, then delivers.
    static void log(Level level, const Message& message, const std::string& file, const std::string& function,
                    int line, const std::optional<LogContext>& context = std::nullopt);

    // "" on the main thread, else the label of the current queue ("" when there is none).
    static std::string currentThreadLabel();
    // "doWork(a:b:)" -> "doWork()", "body" -> "body()".
    static std::string shortFunctionName(const std::string& function);

    // Wraps a callable whose result is text or anything that can be streamed into text. A plain
    // value is taken as it is; only its conversion to text is deferred.
    template <class F>
    static Message deferred(F&& producer) {
        if constexpr (std::is_invocable_v<F&>) {
            using Result = std::decay_t<std::invoke_result_t<F&>>;
            if constexpr (std::is_convertible_v<Result, std::string>) {
                return [producer = std::forward<F>(producer)]() mutable { return std::string(producer()); };
            } else {
                return [producer = std::forward<F>(producer)]() mutable { return describe(producer()); };
            }
        } else {
            return [value = std::decay_t<F>(std::forward<F>(producer))] { return describe(value); };
        }
    }

private:
    template <class T>
    static std::string describe(const T& value) {
        if constexpr (std::is_convertible_v<const T&, std::string>) {
            return std::string(value);
        } else {
            std::ostringstream text;
            text << value;
            return text.str();
        }
    }

    static void deliver(Level level, const Message& message, const std::string& thread,
                        const std::string& file, const std::string& function, int line,
                        const std::optional<LogContext>& context);
};

}  // namespace kiv
