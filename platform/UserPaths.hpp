#pragma once
// Where the user's files live. The home is the account database's entry for the real user id
// (getpwuid_r(getuid())), never $HOME, so that a run under sudo keeps to root's own home; the
// variable KIV_HOME, when it holds an absolute path, replaces it (tests and sandboxes point the
// whole application at a temporary home through it, and only through it).
//   Application Support: <home>/.local/share   ($XDG_DATA_HOME is ignored on purpose)
//   Caches:              <home>/.cache
//   Preferences:         <home>/.config/kiv    (the user-defaults files)
//
// Threads: any; nothing is cached.
#include <filesystem>
#include <optional>

namespace platform {

inline constexpr const char* kHomeOverrideVariable = "KIV_HOME";

// The home folder, or nothing when the account database has no entry (and KIV_HOME is unset).
std::optional<std::filesystem::path> userHomeDirectory();
std::optional<std::filesystem::path> applicationSupportDirectory();
std::optional<std::filesystem::path> cachesDirectory();
std::optional<std::filesystem::path> preferencesDirectory();

}  // namespace platform
