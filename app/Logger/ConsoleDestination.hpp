#pragma once
// A destination that prints each rendered line on standard output, or hands it to the system
// log when useNSLog is set. Starts with the emoji colours; the base format until the owner
// changes it.
//
// Threads: as BaseDestination; send() runs on the destination's queue.
#include "app/Logger/BaseDestination.hpp"

namespace kiv {

class ConsoleDestination : public BaseDestination {
public:
    explicit ConsoleDestination(DestinationEnvironment environment = {});

    // The system log instead of standard output; the text is passed as an argument, never as a format.
    bool useNSLog = false;

    bool useTerminalColors() const { return useTerminalColors_; }
    // true: 256-colour terminal sequences (and the escape/reset texts); false: the emoji colours
    // again (escape and reset keep what they hold).
    void setUseTerminalColors(bool on);

    int defaultHashValue() const override { return 1; }
    std::optional<std::string> send(LogFacilityLevel level, const std::string& message,
                                    const std::string& thread, const std::string& file,
                                    const std::string& function, int line,
                                    const std::optional<LogContext>& context) override;

    static LevelColor emojiColors();
    static LevelColor terminalColors();
    static std::string terminalEscape();
    static std::string terminalReset();

private:
    bool useTerminalColors_ = false;
};

}  // namespace kiv
