// Whole-file writes and reads against a real file system: links planted at the target, failures
// half-way, and writers racing each other.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/AtomicFile.hpp"
#include "tests/platform/PlatformTestSupport.hpp"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const fs::path& file) {
    const FileRead read = readWholeFile(file);
    return read.status == FileRead::Status::read ? read.content : "<" + read.error + ">";
}

// Names in `folder` other than `keep`: a temporary file left behind shows up here.
std::vector<std::string> strays(const fs::path& folder, const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != keep) names.push_back(entry.path().filename());
    }
    return names;
}

TEST(AtomicFile, ALinkAtTheTargetIsReplacedAndWhatItNamedIsUntouched) {
    testing::TemporaryFolder folder;
    { std::ofstream(folder.path() / "elsewhere") << "precious"; }
    fs::create_symlink(folder.path() / "elsewhere", folder.path() / "settings.json");
    ASSERT_EQ(writeFileAtomically(folder.path() / "settings.json", "{}", 0600), "");
    EXPECT_FALSE(fs::is_symlink(folder.path() / "settings.json"));
    EXPECT_EQ(contentOf(folder.path() / "settings.json"), "{}");
    EXPECT_EQ(contentOf(folder.path() / "elsewhere"), "precious");
    EXPECT_EQ(fs::status(folder.path() / "settings.json").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST(AtomicFile, AFailedWriteLeavesTheOldFileAndNoTemporary) {
    testing::TemporaryFolder folder;
    const fs::path file = folder.path() / "preferences.json";
    { std::ofstream(file) << "old"; }
    // A write cut short, by a file-size limit (in a child: the limit is the whole process's).
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);  // write(2) fails with EFBIG instead
        const rlimit limit{10, 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string error = writeFileAtomically(file, std::string(1000, 'x'));
        ::_exit(error.find(strerror(EFBIG)) != std::string::npos ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_NE(writeFileAtomically(folder.path() / "no" / "file", "new").find(strerror(ENOENT)),
              std::string::npos);
    fs::create_directories(folder.path() / "in-the-way" / "inside");  // the rename fails
    EXPECT_NE(writeFileAtomically(folder.path() / "in-the-way", "new"), "");
    if (::geteuid() != 0) {  // root writes into a read-only folder all the same
        fs::permissions(folder.path(), fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_NE(writeFileAtomically(file, "new").find(strerror(EACCES)), std::string::npos);
        fs::permissions(folder.path(), fs::perms::owner_all);
    }
    EXPECT_EQ(contentOf(file), "old");
    EXPECT_EQ(strays(folder.path(), "preferences.json"), std::vector<std::string>{"in-the-way"});
}

TEST(AtomicFile, ReadRefusesWhatIsNotASmallRegularFile) {
    testing::TemporaryFolder folder;
    const fs::path dir = folder.path();
    { std::ofstream(dir / "ten") << "0123456789"; }
    fs::create_symlink(dir / "ten", dir / "link");
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    struct Case {
        fs::path path;
        std::size_t cap;
        FileRead::Status status;
        int errorNumber;
    };
    const Case cases[] = {
        {dir / "ten", 10, FileRead::Status::read, 0},  // exactly at the cap
        {dir / "ten", 9, FileRead::Status::failed, EFBIG},
        {dir / "ten", 0, FileRead::Status::failed, EFBIG},
        {dir / "link", 100, FileRead::Status::failed, ELOOP},
        {dir / "folder", 100, FileRead::Status::failed, EISDIR},
        {dir / "fifo", 100, FileRead::Status::failed, EINVAL},  // refused, not waited on
        {dir / "missing", 100, FileRead::Status::missing, ENOENT},
        {dir / "ten" / "below", 100, FileRead::Status::failed, ENOTDIR},
    };
    for (const auto& c : cases) {
        const FileRead read = readWholeFile(c.path, c.cap);
        EXPECT_EQ(read.status, c.status) << c.path << " cap " << c.cap;
        EXPECT_EQ(read.errorNumber, c.errorNumber) << c.path << " cap " << c.cap;
        EXPECT_EQ(read.content, c.status == FileRead::Status::read ? "0123456789" : "") << c.path;
        if (c.status != FileRead::Status::read) {
            EXPECT_NE(read.error.find(c.path.string()), std::string::npos) << read.error;
        }
    }
}

TEST(AtomicFile, RacingWritersLeaveOneWholeContent) {
    testing::TemporaryFolder folder;
    const fs::path file = folder.path() / "shared.json";
    constexpr int kWriters = 6;
    constexpr std::size_t kSize = 256 * 1024;  // long enough for a reader to catch one half-written
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};
    std::atomic<int> wholeReads{0};
    std::atomic<int> tornReads{0};
    std::thread reader([&] {
        while (writing) {
            const FileRead read = readWholeFile(file);
            if (read.status != FileRead::Status::read) continue;
            const bool whole = read.content.size() == kSize &&
                               read.content.find_first_not_of(read.content[0]) == std::string::npos;
            ++(whole ? wholeReads : tornReads);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            const std::string content(kSize, static_cast<char>('a' + w));
            for (int round = 0; round < 20; ++round) {
                if (!writeFileAtomically(file, content).empty()) ++failures;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    writing = false;
    reader.join();
    EXPECT_EQ(failures, 0);
    const std::string last = contentOf(file);
    ASSERT_EQ(last.size(), kSize);
    EXPECT_EQ(last.find_first_not_of(last[0]), std::string::npos);
    EXPECT_EQ(tornReads, 0) << "of " << wholeReads + tornReads << " reads";
    EXPECT_EQ(strays(folder.path(), "shared.json"), std::vector<std::string>{});
}

}  // namespace
}  // namespace platform
