#pragma once
// Runs /usr/bin/python3 as a reference: the script reads its input from a temporary file whose
// path is argv[1] and writes its answer to standard output.
#include <optional>
#include <string>

namespace modeltest {

// The script's standard output, or no value when it could not run or exited non-zero.
std::optional<std::string> runPython(const std::string& script, const std::string& input);

}  // namespace modeltest
