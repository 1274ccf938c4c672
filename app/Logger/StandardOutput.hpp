#pragma once
// Lines for standard output, as the logging facility and the application logger print them.
// Each line is written whole and flushed, so lines printed from different threads never mix.
//
// Threads: any. While a StandardOutputCapture lives, lines reach its sink instead (tests).
#include <functional>
#include <string>
#include <string_view>

namespace kiv {

// Writes `text` followed by a line feed.
void printLine(std::string_view text);

class StandardOutputCapture {
public:
    using Sink = std::function<void(const std::string& line)>;
    explicit StandardOutputCapture(Sink sink);
    ~StandardOutputCapture();
    StandardOutputCapture(const StandardOutputCapture&) = delete;
    StandardOutputCapture& operator=(const StandardOutputCapture&) = delete;

private:
    Sink previous_;
};

}  // namespace kiv
