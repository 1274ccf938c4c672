#pragma once
// The unified system log of the original platform, on Linux: a handle with a
// subsystem and a category, levels debug/info/default/error, written to syslog or
// standard error. Message texts are passed through as they are, never used as a
// format string.
//
// Threads: any. A capture sink installed by tests receives every record instead.
// Lines on standard error read
//   "2026-12-09 04:41:09.123 <subsystem> [<category>] <type>: <message>"
// (local time; <type> is logTypeName's text); syslog gets the same text without the
// time, at a priority that follows the type.
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

enum class LogType { debug, info, defaultType, error, fault };

// "debug", "info", "default", "error", "fault".
std::string_view logTypeName(LogType type);

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogType type;
    std::string message;
};

class SystemLog {
public:
    SystemLog(std::string subsystem, std::string category);
    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    // True when a record of this type would be written; callers test it before
    // building an expensive message on a hot path.
    bool enabled(LogType type) const;
    void log(LogType type, std::string_view message) const;
    void debug(std::string_view m) const { log(LogType::debug, m); }
    void info(std::string_view m) const { log(LogType::info, m); }
    void notice(std::string_view m) const { log(LogType::defaultType, m); }
    void error(std::string_view m) const { log(LogType::error, m); }

private:
    std::string subsystem_;
    std::string category_;
};

// NSLog's stand-in: a line on standard error with the time and the process name,
// "2026-12-09 04:41:09.123 <process>[<pid>:<tid>] <message>", whatever the minimum
// type and the output. A capture receives it as a record of type defaultType with
// empty subsystem and category.
void nsLog(std::string_view message);

enum class LogOutput { standardError, syslog };
// Where records go; by default standard error. The lowest type written is read from
// the environment variable KIV_LOG_LEVEL ("debug", "info", "default", "error"),
// "default" when unset.
void setLogOutput(LogOutput output);
void setMinimumLogType(LogType type);

// Tests: while the returned object lives, every record (of any type) reaches `sink`
// and nothing else is written. The sink is called under a lock, one record at a time
// (it may log itself); once the capture is destroyed it is never called again and the
// sink that was installed before is back. Captures nest; destroy them in reverse order.
using LogSink = std::function<void(const LogRecord&)>;
class LogCapture {
public:
    explicit LogCapture(LogSink sink);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

private:
    LogSink previous_;
};

}  // namespace platform
