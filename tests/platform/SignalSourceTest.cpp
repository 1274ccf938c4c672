// Signals read from a signalfd on the reactor and handed to a queue.
//
// How the tests send signals: a signalfd reads what is pending for the process or for
// the thread that reads it, and that thread is the reactor's, which blocks every signal.
// So each signal goes to the reactor thread with tgkill. A kill() to the process could
// land on any thread of this program that does not block it (gtest and earlier tests
// may have started some, which gtest gives no way to prevent), and a signal sent to the
// test's own thread would stay pending there, out of the signalfd's sight.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/Reactor.hpp"
#include "platform/SignalSource.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;
constexpr auto kGenerousSignalWait = 10s;

pid_t reactorThread() {
    static const pid_t tid = [] {
        Semaphore done;
        pid_t id = 0;
        Reactor::instance().post([&] {
            id = ::gettid();
            done.signal();
        });
        if (!done.waitFor(kGenerousSignalWait)) throw std::runtime_error("the reactor does not run");
        return id;
    }();
    return tid;
}

void sendToReactor(int signal) { ASSERT_EQ(::tgkill(::getpid(), reactorThread(), signal), 0); }

// Runs `task` on the reactor thread and waits for it.
void onReactor(const std::function<void()>& task) {
    Semaphore done;
    Reactor::instance().post([&] {
        task();
        done.signal();
    });
    ASSERT_TRUE(done.waitFor(kGenerousSignalWait));
}

struct Received {
    std::vector<SignalInfo> signals;  // written by the serial queue's work
    Semaphore arrived;
};

SignalSource::Handler recordInto(const std::shared_ptr<Received>& received) {
    return [received](const SignalInfo& info) {
        received->signals.push_back(info);
        received->arrived.signal();
    };
}

// Signals pending together are read in one go and handed over one call each, in the
// kernel's order (standard signals by number, then queued real-time ones in sending
// order, both copies of SIGRTMIN included), each naming this process as its sender.
TEST(SignalSource, DeliversEverySignalInOrderWithItsSender) {
    auto queue = makeSerialQueue("test.signals.order");
    auto received = std::make_shared<Received>();
    SignalSource source({SIGUSR1, SIGUSR2, SIGRTMIN}, queue, recordInto(received));

    // The reactor is held so that all four are pending when it next reads.
    const pid_t reactor = reactorThread();
    auto release = std::make_shared<Semaphore>();  // the reactor may still hold it after the test
    auto held = std::make_shared<Semaphore>();
    Reactor::instance().post([release, held] {
        held->signal();
        release->waitFor(kGenerousSignalWait);
    });
    ASSERT_TRUE(held->waitFor(kGenerousSignalWait));
    for (const int signal : {SIGRTMIN, SIGUSR2, SIGRTMIN, SIGUSR1}) {
        ASSERT_EQ(::tgkill(::getpid(), reactor, signal), 0);
    }
    release->signal();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(received->arrived.waitFor(kGenerousSignalWait));

    queue->sync([&] {
        std::vector<int> numbers;
        for (const SignalInfo& info : received->signals) {
            numbers.push_back(info.signalNumber);
            EXPECT_EQ(info.senderPid, ::getpid());
            EXPECT_EQ(info.senderUid, ::getuid());
        }
        EXPECT_EQ(numbers, (std::vector<int>{SIGUSR1, SIGUSR2, SIGRTMIN, SIGRTMIN}));
    });
}

// Once the source is gone, a signal stays pending: nobody reads it, no call is queued.
TEST(SignalSource, NothingIsDeliveredAfterDestruction) {
    auto queue = makeSerialQueue("test.signals.gone");
    auto received = std::make_shared<Received>();
    {
        SignalSource source({SIGUSR1}, queue, recordInto(received));
        sendToReactor(SIGUSR1);
        ASSERT_TRUE(received->arrived.waitFor(kGenerousSignalWait));
    }
    sendToReactor(SIGUSR1);
    onReactor([] {});  // the reactor has seen the signal arrive
    queue->sync([&] { EXPECT_EQ(received->signals.size(), 1u); });

    // Still pending on the reactor thread: take it, so later tests start clean.
    int taken = -1;
    onReactor([&] {
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, SIGUSR1);
        const timespec none{};
        taken = ::sigtimedwait(&set, nullptr, &none);
    });
    EXPECT_EQ(taken, SIGUSR1);
}

TEST(SignalSource, RefusesWhatIsNotASignal) {
    for (const int bad : {0, -1, 65, 1000}) {
        EXPECT_THROW(blockSignals({SIGUSR1, bad}), std::invalid_argument) << bad;
        EXPECT_THROW(SignalSource({bad}, makeSerialQueue("test.signals.bad"), [](const SignalInfo&) {}),
                     std::invalid_argument)
            << bad;
    }
    // Nothing was blocked by the refused calls.
    sigset_t mask;
    ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(::sigismember(&mask, SIGUSR1), 0);
}

}  // namespace
}  // namespace platform
