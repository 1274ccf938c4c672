#include "platform/xpc/XPCLogBudget.hpp"

#include "platform/Clock.hpp"

namespace platform {

void XPCLogBudget::log(const SystemLog& log, LogType type, const std::string& line) {
    std::size_t leftOut = 0;
    bool write = false;
    {
        auto w = window_.lock();
        const auto now = processClock()->monotonic();
        if (!w->start || now - *w->start >= std::chrono::minutes(1)) {
            leftOut = w->left;
            *w = Window{now, 0, 0};
        }
        write = w->logged < linesPerMinute_;
        if (write) {
            ++w->logged;
        } else {
            ++w->left;
        }
    }
    if (leftOut > 0) log.log(type, std::to_string(leftOut) + " " + summary_ + " were not logged");
    if (write) log.log(type, line);
}

}  // namespace platform
