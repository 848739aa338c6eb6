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

    // Milliseconds on the monotonic clock.
    static int64_t nowMs();

private:
    int duration;
    int64_t deadline = -1; // -1: never started
};

#endif
