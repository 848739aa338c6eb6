// Ctrl-C, SIGTERM, SIGHUP and SIGUSR1 (drain) reach the program as values, not as handlers:
// the signals are blocked in every thread (created after this object) and a thread takes them
// with a timed wait, so what they cause runs in ordinary code.
#ifndef LUMO_COLLECT_SIGNALWAITER_H
#define LUMO_COLLECT_SIGNALWAITER_H

#include <chrono>
#include <csignal>

namespace lumo_collect {

class SignalWaiter {
public:
    // Blocks SIGINT, SIGTERM, SIGHUP and SIGUSR1 in the calling thread (and the threads it
    // creates later) and ignores SIGPIPE, so a device that hangs up never kills the host.
    SignalWaiter();
    ~SignalWaiter();
    SignalWaiter(const SignalWaiter &) = delete;
    SignalWaiter &operator=(const SignalWaiter &) = delete;

    // The signal taken, or 0 when the timeout passed first.
    int wait(std::chrono::milliseconds timeout);

private:
    sigset_t signals_;
    sigset_t previousMask_;
};

} // namespace lumo_collect

#endif
