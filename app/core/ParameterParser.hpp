#pragma once
// The KEY=VALUE line format of the installer parameter files (the installer's own file in the
// Caches folder and the cookie file a run as root leaves for the user's application).
//
//   - Lines end at a line feed only; a carriage return stays part of the value.
//   - A line is a pair only when it holds exactly one "="; any other line (none, two or more, a
//     blank line) is skipped, so a value can never contain "=".
//   - Nothing is trimmed and there are no comments: " RPC_URL" and "#RPC_URL" are keys that
//     match no setting.
//   - A key is used only when it is, case-sensitively, one of the raw values of
//     XNCServerInfoSection; all 22 are applied, "RESET" and "STOP" too. An empty value is stored
//     as empty text. Pairs are applied in file order, so a later line wins.
//
// Threads: any thread that may use `settings`.
#include <string_view>

namespace kiv {

class Settings;

// Applies every pair to `settings` through Settings::set, printing for each
// "getValuesFromInstaller:  saving value <value> for key <case name>" to standard output.
void parseParameters(std::string_view text, Settings& settings);

}  // namespace kiv
