// The reactor's turns: descriptors that are ready are served between batches of posted tasks,
// however fast tasks keep coming (XPC peers whose calls are answered at once post a reply and a
// resumption per call, and a new connection must still be accepted and read).
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>

#include "platform/Dispatch.hpp"
#include "platform/Reactor.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;

// Counts the tasks run on the reactor until a ready eventfd's handler has run. Reactor thread
// only, except the semaphore.
struct ReactorTurnProbe : Reactor::Handler, std::enable_shared_from_this<ReactorTurnProbe> {
    static constexpr int kGiveUpAfter = 200000;  // tasks; far past any fair turn

    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    int tasksRun = 0;
    int tasksRunWhenServed = -1;
    Semaphore finished;

    ~ReactorTurnProbe() override { ::close(fd); }

    void onEvents(std::uint64_t, std::uint32_t) override {
        std::uint64_t count = 0;
        [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
        if (tasksRunWhenServed < 0) tasksRunWhenServed = tasksRun;
    }

    // Posts itself again until the descriptor was served, as a flood of posted work does.
    void spin() {
        if (tasksRunWhenServed >= 0 || ++tasksRun >= kGiveUpAfter) {
            finished.signal();
            return;
        }
        Reactor::instance().post([self = shared_from_this()] { self->spin(); });
    }
};

TEST(ReactorTurns, AReadyDescriptorIsServedWhileTasksKeepBeingPosted) {
    auto probe = std::make_shared<ReactorTurnProbe>();
    ASSERT_GE(probe->fd, 0);
    const std::uint64_t token = Reactor::instance().add(probe->fd, EPOLLIN, probe);
    ASSERT_NE(token, 0u);
    // From the reactor thread itself, so that the descriptor turns ready while tasks are running
    // and the reactor cannot have looked at it before the flood starts.
    Reactor::instance().post([probe] {
        const std::uint64_t one = 1;
        ASSERT_EQ(::write(probe->fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
        probe->spin();
    });
    ASSERT_TRUE(probe->finished.waitFor(60s));
    Reactor::instance().remove(token, probe->fd);
    Semaphore removed;
    Reactor::instance().post([&] { removed.signal(); });
    ASSERT_TRUE(removed.waitFor(60s));
    // The self-posting task had run once when the turn ended; the descriptor came next.
    EXPECT_GE(probe->tasksRunWhenServed, 0) << "not served after " << probe->tasksRun << " tasks";
    EXPECT_LE(probe->tasksRunWhenServed, 2);
}

}  // namespace
}  // namespace platform
