#include "platform/SystemLog.hpp"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "platform/FileDescriptor.hpp"
#include "platform/LogLine.hpp"
#include "platform/NoDestructor.hpp"

namespace platform {
namespace {

constexpr int kUnread = -1;

int rank(LogType type) { return static_cast<int>(type); }

// The lowest type written, or debug while a capture is installed. Checked on hot
// paths, so a single atomic load; kUnread until KIV_LOG_LEVEL has been read.
std::atomic<int> gThreshold{kUnread};
// The lowest type written when no capture is installed.
std::atomic<int> gMinimum{rank(LogType::defaultType)};
std::atomic<LogOutput> gOutput{LogOutput::standardError};

// The capture sink and the lock it is called under. Recursive so a sink may log.
struct CaptureState {
    std::recursive_mutex mutex;
    LogSink sink;  // guarded by mutex; empty when no capture is installed
};

CaptureState& captureState() {
    static NoDestructor<CaptureState> state;
    return *state;
}

// Serializes lines on standard error so that concurrent records never interleave.
std::mutex& stderrMutex() {
    static NoDestructor<std::mutex> mutex;
    return *mutex;
}

void recomputeThresholdLocked(bool captureInstalled) {
    gThreshold.store(captureInstalled ? rank(LogType::debug) : gMinimum.load());
}

int readLevelFromEnvironment() {
    const char* value = std::getenv("KIV_LOG_LEVEL");
    if (value == nullptr || *value == '\0') return rank(LogType::defaultType);
    const std::string_view text(value);
    if (text == "debug") return rank(LogType::debug);
    if (text == "info") return rank(LogType::info);
    if (text == "default") return rank(LogType::defaultType);
    if (text == "error") return rank(LogType::error);
    const std::string line = "KIV_LOG_LEVEL: unknown level \"" + std::string(text) +
                             "\" (expected debug, info, default or error); using \"default\"\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
    return rank(LogType::defaultType);
}

// Reads KIV_LOG_LEVEL once, on first use of the log.
int threshold() {
    const int current = gThreshold.load(std::memory_order_relaxed);
    if (current != kUnread) return current;
    static const bool initialized = [] {
        CaptureState& state = captureState();
        std::lock_guard lock(state.mutex);
        gMinimum.store(readLevelFromEnvironment());
        recomputeThresholdLocked(static_cast<bool>(state.sink));
        return true;
    }();
    (void)initialized;
    return gThreshold.load();
}

void writeStandardErrorLine(std::string_view afterTime) {
    std::string line = formatLogTime(systemClock()->now());
    line.append(" ").append(afterTime).append("\n");
    std::lock_guard lock(stderrMutex());
    (void)writeAll(STDERR_FILENO, line);  // nowhere left to report a failing standard error
}

int syslogPriority(LogType type) {
    switch (type) {
        case LogType::debug:
            return LOG_DEBUG;
        case LogType::info:
            return LOG_INFO;
        case LogType::defaultType:
            return LOG_NOTICE;
        case LogType::error:
            return LOG_ERR;
        case LogType::fault:
            return LOG_CRIT;
    }
    return LOG_NOTICE;
}

// Hands the record to an installed capture; false when there is none.
bool captured(const LogRecord& record) {
    CaptureState& state = captureState();
    std::lock_guard lock(state.mutex);
    if (!state.sink) return false;
    state.sink(record);
    return true;
}

}  // namespace

std::string_view logTypeName(LogType type) {
    switch (type) {
        case LogType::debug:
            return "debug";
        case LogType::info:
            return "info";
        case LogType::defaultType:
            return "default";
        case LogType::error:
            return "error";
        case LogType::fault:
            return "fault";
    }
    return "default";
}

SystemLog::SystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool SystemLog::enabled(LogType type) const { return rank(type) >= threshold(); }

void SystemLog::log(LogType type, std::string_view message) const {
    if (!enabled(type)) return;
    if (captured(LogRecord{subsystem_, category_, type, std::string(message)})) return;
    const std::string body = formatLogBody(subsystem_, category_, type, message);
    if (gOutput.load() == LogOutput::syslog) {
        // The text is the argument of a fixed format: '%' in messages stays as it is.
        ::syslog(syslogPriority(type), "%s", body.c_str());
    } else {
        writeStandardErrorLine(body);
    }
}

void nsLog(std::string_view message) {
    if (captured(LogRecord{{}, {}, LogType::defaultType, std::string(message)})) return;
    std::string prefix(program_invocation_short_name);
    prefix.append("[")
        .append(std::to_string(::getpid()))
        .append(":")
        .append(std::to_string(::gettid()))
        .append("] ");
    prefix.append(message);
    writeStandardErrorLine(prefix);
}

void setLogOutput(LogOutput output) { gOutput.store(output); }

void setMinimumLogType(LogType type) {
    threshold();  // the environment is read once; an explicit choice made later wins
    CaptureState& state = captureState();
    std::lock_guard lock(state.mutex);
    gMinimum.store(rank(type));
    recomputeThresholdLocked(static_cast<bool>(state.sink));
}

LogCapture::LogCapture(LogSink sink) {
    threshold();
    CaptureState& state = captureState();
    std::lock_guard lock(state.mutex);
    previous_ = std::exchange(state.sink, std::move(sink));
    recomputeThresholdLocked(static_cast<bool>(state.sink));
}

LogCapture::~LogCapture() {
    CaptureState& state = captureState();
    std::lock_guard lock(state.mutex);
    state.sink = std::move(previous_);
    recomputeThresholdLocked(static_cast<bool>(state.sink));
}

}  // namespace platform
