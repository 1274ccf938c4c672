#pragma once
// The user-defaults flag "LogDebug" that the application logger's level setter writes. Until the
// settings store exists it lives here, in memory; the settings store takes it over by installing
// a writer (and a reader) of its own.
//
// Threads: any.
#include <functional>
#include <optional>

namespace kiv {

inline constexpr const char* kLogDebugKey = "LogDebug";

// true/false sets the key; nullopt removes it.
using LogDebugWriter = std::function<void(std::optional<bool>)>;
using LogDebugReader = std::function<std::optional<bool>()>;

void writeLogDebug(std::optional<bool> value);
// The stored value; absent when the key is not set.
std::optional<bool> readLogDebug();
// Null functions put the in-memory store back.
void installLogDebugStore(LogDebugWriter writer, LogDebugReader reader);

}  // namespace kiv
