// A signal that ends waits at once: once raised, it stays raised until lowered. Every wait of a
// transport polls its descriptor beside its own, so a stop never waits for a time-out or
// a timed slice.
#ifndef LIBLUMO_TRANSPORTS_STOPSIGNAL_H
#define LIBLUMO_TRANSPORTS_STOPSIGNAL_H

#include <atomic>

namespace liblumo::com {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    // Raises the signal and wakes every wait on it; it stays raised until lowered.
    void raise();
    // Lowers it again, for a signal that wakes a waiter more than once.
    void lower();
    bool isRaised() const { return raised.load(std::memory_order_acquire); }
    // Readable once raised; -1 when the system gave none (waits then only see isRaised()
    // between their own wake-ups).
    int descriptor() const { return fd; }
    // Waits up to timeoutMs (-1: no limit) for the signal; true when it is raised.
    bool wait(int timeoutMs) const;

private:
    std::atomic<bool> raised{false};
    int fd = -1;
};

} // namespace liblumo::com

#endif
