#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/FileDescriptor.hpp"

namespace platform {
namespace {

// A pipe whose read end tells when the write end is closed: read() then gives end of file.
struct Pipe {
    FileDescriptor read;
    FileDescriptor write;

    Pipe() {
        std::array<int, 2> fds{};
        EXPECT_EQ(::pipe2(fds.data(), O_CLOEXEC), 0);
        read = FileDescriptor(fds[0]);
        write = FileDescriptor(fds[1]);
    }

    // The write end is gone and everything before was read: a blocking read ends with 0.
    bool writerClosed() {
        char byte;
        ssize_t got;
        do {
            got = ::read(read.get(), &byte, 1);
        } while (got < 0 && errno == EINTR);
        return got == 0;
    }
};

// A descriptor number no open file can have: the process may not open that many.
int neverOpenDescriptor() {
    rlimit limit{};
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    return static_cast<int>(limit.rlim_cur);
}

TEST(FileDescriptor, DestroyingTheOwnerCloses) {
    Pipe pipe;
    { FileDescriptor owner(pipe.write.release()); }
    EXPECT_TRUE(pipe.writerClosed());
}

TEST(FileDescriptor, MovingHandsOverOwnership) {
    Pipe pipe;
    const int fd = pipe.write.get();
    FileDescriptor moved(std::move(pipe.write));
    EXPECT_EQ(pipe.write.get(), -1);  // NOLINT(bugprone-use-after-move): moved-from state is the contract
    EXPECT_EQ(moved.get(), fd);
    EXPECT_TRUE(writeAll(moved.get(), "x"));  // still open
    EXPECT_TRUE(moved.close());
    char byte = 0;
    EXPECT_EQ(::read(pipe.read.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_TRUE(pipe.writerClosed());
}

TEST(FileDescriptor, MoveAssignmentClosesWhatWasOwned) {
    Pipe first, second;
    FileDescriptor owner(first.write.release());
    owner = std::move(second.write);
    EXPECT_TRUE(first.writerClosed());
    EXPECT_TRUE(writeAll(owner.get(), "y"));
    FileDescriptor& same = owner;
    owner = std::move(same);  // self-assignment keeps the descriptor
    EXPECT_TRUE(writeAll(owner.get(), "z"));
}

TEST(FileDescriptor, ReleaseGivesUpWithoutClosing) {
    Pipe pipe;
    int raw = -1;
    {
        FileDescriptor owner(pipe.write.release());
        raw = owner.release();
        EXPECT_EQ(owner.get(), -1);
    }
    EXPECT_TRUE(writeAll(raw, "still open"));
    EXPECT_EQ(::close(raw), 0);
}

TEST(FileDescriptor, CloseReportsWhatCloseSaid) {
    Pipe pipe;
    EXPECT_TRUE(pipe.write.close());
    EXPECT_EQ(pipe.write.get(), -1);
    EXPECT_TRUE(pipe.writerClosed());
    EXPECT_TRUE(pipe.write.close());          // nothing owned any more: nothing to report
    EXPECT_TRUE(FileDescriptor().close());    // nor when nothing was ever owned
    EXPECT_TRUE(FileDescriptor(-1).close());  // a failed open owns nothing

    FileDescriptor bad(neverOpenDescriptor());
    EXPECT_FALSE(bad.close());  // EBADF from close(2)
    EXPECT_EQ(bad.get(), -1);   // and it is not tried again on destruction
}

TEST(WriteAll, WritesMoreThanOnePipeBuffer) {
    Pipe pipe;
    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
    std::string received;
    std::thread reader([&] {
        std::array<char, 4096> buffer{};
        for (;;) {
            const ssize_t got = ::read(pipe.read.get(), buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            received.append(buffer.data(), static_cast<std::size_t>(got));
        }
    });
    EXPECT_TRUE(writeAll(pipe.write.get(), data));
    EXPECT_TRUE(pipe.write.close());
    reader.join();
    EXPECT_EQ(received, data);
}

TEST(WriteAll, FailsWithTheErrorOfTheWrite) {
    Pipe pipe;
    EXPECT_TRUE(writeAll(pipe.write.get(), ""));  // nothing to write is no error
    errno = 0;
    EXPECT_FALSE(writeAll(pipe.read.get(), "to the read end"));
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_FALSE(writeAll(-1, "x"));
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace platform
