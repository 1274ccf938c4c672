#include "app/Logger/KIVLogger.hpp"

#include <charconv>
#include <vector>

#include "app/Logger/LogDebugDefault.hpp"
#include "app/Logger/LogFacility.hpp"
#include "app/Logger/StandardOutput.hpp"
#include "app/support/AppDirectory.hpp"
#include "platform/Bundle.hpp"
#include "platform/Dispatch.hpp"

namespace kiv {
namespace {

// Where the logger's own calls say they come from; neither line format shows it.
constexpr const char* kSourceFile = "app/Logger/KIVLogger.cpp";
constexpr const char* kFunction = "log(_:level:)";
constexpr int kProductionLine = 132;
constexpr int kDiagnoseLine = 136;

std::vector<std::string> components(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1) {
        parts.push_back(text.substr(start, dot - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A decimal integer with an optional sign, nothing else, within 64 bits.
std::optional<std::int64_t> decimalInteger(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (negative) {
        if (magnitude > static_cast<std::uint64_t>(INT64_MAX) + 1) return std::nullopt;
        return static_cast<std::int64_t>(0 - magnitude);
    }
    if (magnitude > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
}

}  // namespace

KIVLogger::Environment KIVLogger::defaultEnvironment() {
    Environment environment;
    const platform::Bundle bundle = platform::Bundle::main();
    environment.appVersion = bundle.string("CFBundleShortVersionString");
    environment.buildVersion = bundle.string("CFBundleVersion");
    environment.applicationDirectory = [](std::error_code& error) { return appDirectory(error); };
    return environment;
}

KIVLogger::KIVLogger() : KIVLogger(defaultEnvironment()) {}

KIVLogger::KIVLogger(Environment environment) : environment_(std::move(environment)) {}

KIVLogger::~KIVLogger() = default;

std::optional<model::DeviceConfiguration> KIVLogger::deviceConfigResponse() const {
    std::lock_guard lock(mutex_);
    return deviceConfigResponse_;
}

void KIVLogger::setDeviceConfigResponse(std::optional<model::DeviceConfiguration> configuration) {
    HeldLevel held;
    if (configuration) {
        held.configured = true;
        const auto& result = configuration->result;
        if (result && result->cfg && result->cfg->runtime && result->cfg->runtime->kiv) {
            held.carriedLevel = result->cfg->runtime->kiv->logLevel;
        }
    }
    std::lock_guard lock(mutex_);
    deviceConfigResponse_ = std::move(configuration);
    held_ = held;
}

KIVLogger::HeldLevel KIVLogger::heldLevel() const {
    std::lock_guard lock(mutex_);
    return held_;
}

void KIVLogger::storeLevelOnChange(model::LogLevel level) {
    std::lock_guard lock(storedLevelMutex_);
    if (storedLevel_ == level) return;
    setLogLevel(level);
    storedLevel_ = level;
}

std::shared_ptr<ConsoleDestination> KIVLogger::consoleDestination() const {
    std::lock_guard lock(mutex_);
    return console_;
}

std::shared_ptr<FileDestination> KIVLogger::fileDestination() const {
    std::lock_guard lock(mutex_);
    return file_;
}

std::string KIVLogger::versionPrefix() const {
    return environment_.appVersion.value_or("") + " (" + environment_.buildVersion.value_or("") + ") :  ";
}

std::optional<std::int64_t> KIVLogger::majorVersion(const std::optional<std::string>& appVersion) {
    if (!appVersion) return std::nullopt;
    const auto parts = components(*appVersion);
    if (parts.size() < 2) return std::nullopt;
    return decimalInteger(parts[0]);
}

std::optional<std::int64_t> KIVLogger::minorVersion(const std::optional<std::string>& appVersion) {
    if (!appVersion) return std::nullopt;
    const auto parts = components(*appVersion);
    if (parts.size() < 3) return std::nullopt;
    return decimalInteger(parts[1]);
}

void KIVLogger::setLogLevel(model::LogLevel level) {
    writeLogDebug(level == model::LogLevel::none ? std::nullopt : std::optional<bool>(true));
}

void KIVLogger::log(const std::string& message, model::LogLevel level) {
    std::string text = versionPrefix() + message;

    model::LogLevel gate = model::LogLevel::production;
    if (const HeldLevel held = heldLevel(); held.configured) {
        if (held.carriedLevel) storeLevelOnChange(*held.carriedLevel);
        gate = logLevel_;
    }
    if (gate == model::LogLevel::none) return;

    platform::mainQueue()->async([weak = weak_from_this(), gate, level, text = std::move(text)] {
        if (auto self = weak.lock()) self->emit(gate, level, text);
    });
}

void KIVLogger::emit(model::LogLevel gate, model::LogLevel level, const std::string& text) {
    if (!hasSetup_.load()) setup();
    if (!(logLevel_ <= gate)) return;
    switch (level) {
        case model::LogLevel::production:
            LogFacility::logVerbose(text, kSourceFile, kFunction, kProductionLine);
            printLine("verbose " + text);
            break;
        case model::LogLevel::diagnose:
            printLine("diagnose " + text);
            LogFacility::logDebug(text, kSourceFile, kFunction, kDiagnoseLine);
            break;
        case model::LogLevel::none:
        case model::LogLevel::warning:
            break;
    }
}

void KIVLogger::setup() {
    auto console = std::make_shared<ConsoleDestination>(environment_.destinations);
    console->format = kConsoleFormat;

    auto file = std::make_shared<FileDestination>(std::nullopt, environment_.destinations);
    file->format = kFileFormat;
    std::error_code error;
    std::filesystem::path folder;
    if (environment_.applicationDirectory) folder = environment_.applicationDirectory(error);
    if (!environment_.applicationDirectory || error) {
        file->logFileURL.reset();
    } else {
        file->logFileURL = folder / kLogFileName;
    }

    LogFacility::attach(console);
    LogFacility::attach(file);
    {
        std::lock_guard lock(mutex_);
        console_ = std::move(console);
        file_ = std::move(file);
    }
    hasSetup_.store(true);
}

}  // namespace kiv
