#include "PythonOracle.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace modeltest {

namespace {

// A temporary file removed when it goes out of scope.
class TempFile {
public:
    explicit TempFile(const std::string& contents) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kiv-model-XXXXXX").string();
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) return;
        ::close(fd);
        path_ = pattern;
        std::ofstream(path_, std::ios::binary) << contents;
    }
    ~TempFile() {
        if (!path_.empty()) std::filesystem::remove(path_);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

std::optional<std::string> runPython(const std::string& script, const std::string& input) {
    TempFile scriptFile(script);
    TempFile inputFile(input);
    if (scriptFile.path().empty() || inputFile.path().empty()) return std::nullopt;
    std::string command = "/usr/bin/python3 " + scriptFile.path() + " " + inputFile.path();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    std::array<char, 65536> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
    int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}

}  // namespace modeltest
