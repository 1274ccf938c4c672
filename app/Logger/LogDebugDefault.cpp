#include "app/Logger/LogDebugDefault.hpp"

#include <mutex>
#include <utility>

namespace kiv {
namespace {

struct Store {
    std::mutex mutex;
    std::optional<bool> value;  // the in-memory stand-in
    LogDebugWriter writer;
    LogDebugReader reader;
};

Store& store() {
    static Store instance;
    return instance;
}

}  // namespace

void writeLogDebug(std::optional<bool> value) {
    Store& s = store();
    LogDebugWriter writer;
    {
        std::lock_guard lock(s.mutex);
        if (!s.writer) {
            s.value = value;
            return;
        }
        writer = s.writer;
    }
    writer(value);
}

std::optional<bool> readLogDebug() {
    Store& s = store();
    LogDebugReader reader;
    {
        std::lock_guard lock(s.mutex);
        if (!s.reader) return s.value;
        reader = s.reader;
    }
    return reader();
}

void installLogDebugStore(LogDebugWriter writer, LogDebugReader reader) {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    s.writer = std::move(writer);
    s.reader = std::move(reader);
}

}  // namespace kiv
