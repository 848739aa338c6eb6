// File descriptors and waiting on them: the only place the simulator calls read, write,
// poll, pipe and fcntl directly.
#ifndef LUMO_SIM_POSIXFD_H
#define LUMO_SIM_POSIXFD_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumosim {

// Owns one descriptor and closes it exactly once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A pipe whose read end becomes readable once stop is requested, so every wait of the
// simulator can be interrupted. trigger() is async-signal-safe.
class StopSignal {
public:
    StopSignal();
    bool ok() const { return readEnd_.valid(); }
    void trigger();
    bool triggered() const;
    int waitFd() const { return readEnd_.get(); }

private:
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
};

enum class WaitResult { Ready, Timeout, Stopped, Hangup, Error };

// Waits until fd is readable (or writable) or timeoutMs passes (-1: no limit) or the
// stop signal fires. Hangup is reported only when no data is left to read.
WaitResult waitReadable(int fd, const StopSignal *stop, int timeoutMs);
WaitResult waitWritable(int fd, const StopSignal *stop, int timeoutMs);
// Sleeps up to ms unless the stop signal fires first; false when stopped.
bool sleepUnlessStopped(const StopSignal *stop, int ms);

// Non-blocking read: >0 bytes, 0 end of stream, -1 nothing there yet (EAGAIN), -2 error.
long readNonBlocking(int fd, uint8_t *buf, std::size_t n);
// Non-blocking write that never raises SIGPIPE (sockets): bytes written, -1 would block,
// -2 error, -3 the other side has gone.
long writeNonBlocking(int fd, const uint8_t *buf, std::size_t n, bool socket);
bool isSocket(int fd);

bool setNonBlocking(int fd);
std::string lastErrorText();

} // namespace lumosim

#endif
