#include "SignalWaiter.h"

#include <cerrno>
#include <pthread.h>

namespace lumo_collect {

namespace {
constexpr long kMillisPerSecond = 1000;
constexpr long kNanosPerMilli = 1000000;
} // namespace

SignalWaiter::SignalWaiter()
{
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);  // reopen the log file
    sigaddset(&signals_, SIGUSR1); // drain
    pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWaiter::~SignalWaiter()
{
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

int SignalWaiter::wait(std::chrono::milliseconds timeout)
{
    const long ms = static_cast<long>(timeout.count());
    timespec ts{ms / kMillisPerSecond, (ms % kMillisPerSecond) * kNanosPerMilli};
    while (true) {
        const int sig = sigtimedwait(&signals_, nullptr, &ts);
        if (sig > 0)
            return sig;
        if (errno != EINTR) // EAGAIN: timed out
            return 0;
    }
}

} // namespace lumo_collect
