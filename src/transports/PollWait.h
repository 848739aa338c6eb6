// The one wait of the transports: for a descriptor to become ready, or a wake descriptor
// (a stop) to become readable, or a time-out. A signal that interrupts the wait resumes it
// with the time that is left.
#ifndef LIBLUMO_TRANSPORTS_POLLWAIT_H
#define LIBLUMO_TRANSPORTS_POLLWAIT_H

namespace liblumo::com {

enum class PollResult {
    Ready,    // the descriptor is ready for `events`
    TimedOut, // the time passed first
    Gone,     // hang-up, error or an invalid descriptor, and not ready
    Woken,    // the wake descriptor became readable first
};

// timeoutMs -1 waits without limit; wakeFd -1 waits on the descriptor alone.
PollResult waitOnDescriptor(int fd, short events, int timeoutMs, int wakeFd);

} // namespace liblumo::com

#endif
