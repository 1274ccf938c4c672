#include "app/Logger/ConsoleDestination.hpp"

#include "app/Logger/StandardOutput.hpp"
#include "platform/SystemLog.hpp"

namespace kiv {

LevelColor ConsoleDestination::emojiColors() {
    LevelColor colors;
    colors.verbose = "\U0001F49C ";  // purple heart
    colors.debug = "\U0001F49A ";    // green heart
    colors.info = "\U0001F499 ";     // blue heart
    colors.warning = "\U0001F49B ";  // yellow heart
    colors.error = "\u2764\uFE0F ";  // heavy heart, emoji presentation
    return colors;
}

LevelColor ConsoleDestination::terminalColors() {
    LevelColor colors;
    colors.verbose = "251m";
    colors.debug = "35m";
    colors.info = "38m";
    colors.warning = "178m";
    colors.error = "197m";
    return colors;
}

std::string ConsoleDestination::terminalEscape() { return "\x1b[38;5;"; }
std::string ConsoleDestination::terminalReset() { return "\x1b[0m"; }

ConsoleDestination::ConsoleDestination(DestinationEnvironment environment)
    : BaseDestination(std::move(environment)) {
    levelColor = emojiColors();
}

void ConsoleDestination::setUseTerminalColors(bool on) {
    useTerminalColors_ = on;
    if (on) {
        levelColor = terminalColors();
        escape = terminalEscape();
        reset = terminalReset();
    } else {
        levelColor = emojiColors();
    }
}

std::optional<std::string> ConsoleDestination::send(LogFacilityLevel level, const std::string& message,
                                                    const std::string& thread, const std::string& file,
                                                    const std::string& function, int line,
                                                    const std::optional<LogContext>& context) {
    std::optional<std::string> text =
        BaseDestination::send(level, message, thread, file, function, line, context);
    if (!text) return std::nullopt;
    if (useNSLog) {
        platform::nsLog(*text);
    } else {
        printLine(*text);
    }
    return text;
}

}  // namespace kiv
