// File watches on real files in a temporary folder. Every check of "nothing more was reported"
// waits instead for an event on a second, sentinel file: both watches share the kernel's queue
// and one serial queue here, so whatever the first file reported arrives before the sentinel's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PlatformTestSupport.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FileWatch.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testing::TemporaryFolder;
namespace fs = std::filesystem;

void append(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::app) << text; }

// Collects the events of several watches in arrival order, as "name:bits".
class Recorder {
public:
    explicit Recorder(DispatchQueuePtr queue) : queue_(std::move(queue)) {}

    FileWatchPtr watch(const fs::path& path, const std::string& name, std::uint32_t mask = allFileEvents) {
        const int fd = openForEvents(path);
        if (fd < 0) return nullptr;
        auto watch = std::make_unique<FileWatch>(fd, mask, queue_);
        watch->setEventHandler([this, name](std::uint32_t events) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back({name, events});
            }
            arrived_.signal();
        });
        watch->setCancelHandler([this, fd] {
            ::close(fd);
            {
                std::lock_guard lock(mutex_);
                ++cancels_;
            }
            arrived_.signal();
        });
        if (!watch->resume()) return nullptr;
        return watch;
    }

    // Waits for the next event of `name`; the events of that file OR-ed together with the ones
    // seen on the way are returned per file by take().
    bool waitFor(const std::string& name) {
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                for (std::size_t i = checked_; i < seen_.size(); ++i) {
                    if (seen_[i].first == name) {
                        checked_ = i + 1;
                        return true;
                    }
                }
                checked_ = seen_.size();
            }
            if (!arrived_.waitFor(10s)) return false;
        }
    }

    std::uint32_t take(const std::string& name) {
        std::lock_guard lock(mutex_);
        std::uint32_t bits = 0;
        std::erase_if(seen_, [&](const auto& entry) {
            if (entry.first != name) return false;
            bits |= entry.second;
            return true;
        });
        checked_ = 0;
        return bits;
    }

    int cancels() {
        std::lock_guard lock(mutex_);
        return cancels_;
    }
    bool waitForCancel(int count) {
        while (cancels() < count) {
            if (!arrived_.waitFor(10s)) return false;
        }
        return true;
    }

private:
    DispatchQueuePtr queue_;
    Semaphore arrived_;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::uint32_t>> seen_;  // guarded by mutex_
    std::size_t checked_ = 0;                                  // guarded by mutex_
    int cancels_ = 0;                                          // guarded by mutex_
};

class FileWatchTest : public ::testing::Test {
protected:
    // The cancel handlers of the watches gone by now still run on the queue, and use the recorder.
    ~FileWatchTest() override {
        sentinelWatch.reset();
        queue->sync([] {});
    }
    void SetUp() override {
        append(file, "start\n");
        append(sentinel, "");
        sentinelWatch = recorder.watch(sentinel, "sentinel");
        ASSERT_TRUE(sentinelWatch);
    }
    // Everything the watched file reported up to now.
    std::uint32_t settle() {
        append(sentinel, "x");
        EXPECT_TRUE(recorder.waitFor("sentinel"));
        recorder.take("sentinel");
        return recorder.take("file");
    }

    TemporaryFolder folder{"kiv-filewatch"};
    fs::path file = folder.path() / "device.json";
    fs::path sentinel = folder.path() / "sentinel";
    DispatchQueuePtr queue = makeSerialQueue("FileWatchTest.queue");
    Recorder recorder{queue};
    FileWatchPtr sentinelWatch;
};

struct Change {
    const char* name;
    std::function<void(const fs::path&)> act;
    std::uint32_t mask;      // the watch's events
    std::uint32_t expected;  // reported, OR-ed
};

const Change kChanges[] = {
    {"append", [](const fs::path& p) { append(p, "more"); }, allFileEvents, fileWritten | fileExtended},
    {"truncate", [](const fs::path& p) { fs::resize_file(p, 1); }, allFileEvents, fileWritten},
    {"chmod", [](const fs::path& p) { fs::permissions(p, fs::perms::owner_read); }, allFileEvents,
     fileAttributesChanged},
    {"unlink", [](const fs::path& p) { fs::remove(p); }, allFileEvents, fileDeleted},
    {"atomic save", [](const fs::path& p) { ASSERT_EQ(writeFileAtomically(p, "{}"), ""); }, allFileEvents,
     fileDeleted},
    {"rename", [](const fs::path& p) { fs::rename(p, p.string() + ".old"); }, allFileEvents, fileRenamed},
    {"hard link", [](const fs::path& p) { fs::create_hard_link(p, p.string() + ".link"); }, allFileEvents,
     fileLinkCountChanged},
    {"write outside the mask", [](const fs::path& p) { append(p, "more"); }, fileDeleted, 0},
    {"delete inside the mask", [](const fs::path& p) { fs::remove(p); }, fileDeleted | fileRenamed,
     fileDeleted},
};

class FileWatchChanges : public FileWatchTest, public ::testing::WithParamInterface<Change> {};

TEST_P(FileWatchChanges, ReportsTheKindOfChange) {
    const Change& change = GetParam();
    auto watch = recorder.watch(file, "file", change.mask);
    ASSERT_TRUE(watch);
    change.act(file);
    EXPECT_EQ(settle(), change.expected) << change.name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileWatchChanges, ::testing::ValuesIn(kChanges), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
});

// A saved file is a new file object: the watch reports the first replacement, then stays on
// the replaced file and never reports the later saves or edits of the new one.
TEST_F(FileWatchTest, StaysOnTheReplacedFileAfterAnAtomicSave) {
    auto watch = recorder.watch(file, "file");
    ASSERT_TRUE(watch);
    ASSERT_EQ(writeFileAtomically(file, "first"), "");
    EXPECT_EQ(settle(), std::uint32_t(fileDeleted));
    ASSERT_EQ(writeFileAtomically(file, "second"), "");
    append(file, "edit");
    fs::permissions(file, fs::perms::owner_read);
    EXPECT_EQ(settle(), 0u);
    EXPECT_FALSE(watch->isCancelled());
}

TEST_F(FileWatchTest, CancelRunsTheCancelHandlerOnceAndStopsEvents) {
    auto watch = recorder.watch(file, "file");
    ASSERT_TRUE(watch);
    const int fd = watch->descriptor();
    watch->cancel();
    watch->cancel();
    ASSERT_TRUE(recorder.waitForCancel(1));
    append(file, "after cancel");
    EXPECT_EQ(settle(), 0u);
    EXPECT_EQ(recorder.cancels(), 1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "the cancel handler closed the descriptor";
    watch.reset();
    EXPECT_EQ(recorder.cancels(), 1);
}

TEST_F(FileWatchTest, DestroyingAWatchCancelsItAndLeavesAnotherWatchOfTheSameFile) {
    auto first = recorder.watch(file, "file");
    auto second = recorder.watch(file, "second");
    ASSERT_TRUE(first && second);
    first.reset();
    ASSERT_TRUE(recorder.waitForCancel(1));
    append(file, "more");
    ASSERT_TRUE(recorder.waitFor("second"));
    EXPECT_EQ(recorder.take("second") & fileWritten, std::uint32_t(fileWritten));
    EXPECT_EQ(settle(), 0u);
}

TEST_F(FileWatchTest, OpeningAMissingFileFails) {
    errno = 0;
    EXPECT_EQ(openForEvents(folder.path() / "missing.json"), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace platform
