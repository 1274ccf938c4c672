#pragma once
// Signals as dispatch work: a signalfd watched by the process's reactor
// (platform/Reactor.hpp), each signal handed to a queue as a call of the handler.
//
// A signal reaches the signalfd only while no thread takes it: block it everywhere
// with blockSignals in main() before any thread starts. The reactor thread blocks
// every signal itself.
//
// Threads: construct and destroy on any thread. The handler runs on the given queue,
// once per signal, in the order the signals were read. Destroying the source stops
// reading and closes the descriptor; no handler call is queued after the destructor
// returns, but calls queued before it still run (the handler must stay valid for
// them). Signals of the set that arrive afterwards stay pending, blocked.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/Dispatch.hpp"

namespace platform {

// Blocks `signals` in the calling thread (pthread_sigmask). Call in main() before any
// thread starts, so every thread inherits the mask and the signals reach only the
// signalfd. Throws std::invalid_argument for a number that is not a signal.
void blockSignals(const std::vector<int>& signals);

struct SignalInfo {
    int signalNumber = 0;
    pid_t senderPid = 0;  // 0 when the kernel sent it
    uid_t senderUid = 0;
};

class SignalSource {
public:
    using Handler = std::function<void(const SignalInfo&)>;

    // Starts reading `signals` (which it does not block). Throws std::invalid_argument
    // for a number that is not a signal, std::system_error when the descriptor cannot
    // be opened or watched.
    SignalSource(const std::vector<int>& signals, DispatchQueuePtr queue, Handler handler);
    ~SignalSource();
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

private:
    // Shared with the reactor, which may be running it while the source goes.
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
