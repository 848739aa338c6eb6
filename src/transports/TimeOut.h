// A deadline: start() it, then ask isExpired() or remaining(). It never sleeps.
// Measured on the monotonic clock, so it survives midnight and clock changes.
#ifndef LIBLUMO_TRANSPORTS_TIMEOUT_H
#define LIBLUMO_TRANSPORTS_TIMEOUT_H

#include <cstdint>

class TimeOut {
public:
    explicit TimeOut(int ms = 0) : duration(ms) {}
    virtual ~TimeOut() = default;

    void setDuration(int ms) { duration = ms; }
    void start();
    // True once the current millisecond is later than the deadline; true when never started.
    bool isExpired() const;
    // Milliseconds until the deadline; 0 once expired, never negative.
    int remaining() const;

    // Milliseconds on the monotonic clock, or on the clock installed with setClock().
    static int64_t nowMs();

    // Tests and the fuzzer install a clock that moves only when they say so, so waits on a
    // scripted device cost no real time; nullptr restores the monotonic clock. Install it
    // before the threads that read it start.
    using Clock = int64_t (*)();
    static void setClock(Clock clock);

private:
    int duration;
    int64_t deadline = -1; // -1: never started
};

#endif
