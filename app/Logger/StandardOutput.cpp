#include "app/Logger/StandardOutput.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace kiv {
namespace {

struct Output {
    std::mutex mutex;
    StandardOutputCapture::Sink sink;
};

Output& output() {
    static Output instance;
    return instance;
}

}  // namespace

void printLine(std::string_view text) {
    Output& out = output();
    std::string line(text);
    std::lock_guard lock(out.mutex);
    if (out.sink) {
        out.sink(line);
        return;
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

StandardOutputCapture::StandardOutputCapture(Sink sink) {
    Output& out = output();
    std::lock_guard lock(out.mutex);
    previous_ = std::exchange(out.sink, std::move(sink));
}

StandardOutputCapture::~StandardOutputCapture() {
    Output& out = output();
    std::lock_guard lock(out.mutex);
    out.sink = std::move(previous_);
}

}  // namespace kiv
