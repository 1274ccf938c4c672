#pragma once
// The application's own folders in the user's home, at the bottom of the layers so that the
// logger and the configuration writer find the same place without depending on each other.
// Where Application Support and Caches are is platform/UserPaths' answer (the account's home, or
// $KIV_HOME); this adds the application's folder name and creates what its callers expect.
//
// Threads: any; nothing is cached, the environment is read on every call.
#include <filesystem>
#include <string_view>
#include <system_error>

namespace kiv {

inline constexpr std::string_view kApplicationFolderName = "BrannockCloud";

// The user's Application Support folder, created (with its parents) when missing. On failure
// `error` is set and the result is empty.
std::filesystem::path applicationSupportDirectory(std::error_code& error);

// The application's folder: Application Support + "BrannockCloud". Application Support is
// created when missing; the application's folder itself is left to whoever writes into it.
// This is the configuration writer's directory() and the folder of "KIV.log".
std::filesystem::path appDirectory(std::error_code& error);

// The user's Caches folder; not created here. On failure `error` is set and the result is empty.
std::filesystem::path cachesDirectory(std::error_code& error);

}  // namespace kiv
