// A byte stream to the host over one descriptor (TCP socket, tty, pty master). It knows
// bytes only: it reads with time-outs, writes whole buffers, and shapes its output on
// request (one write per byte, or pacing at a line rate). Every wait ends early when the
// simulator is stopped.
#ifndef LUMO_SIM_LINK_H
#define LUMO_SIM_LINK_H

#include "PosixFd.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace lumosim {

enum class IoResult { Ok, Timeout, Closed, Stopped, Error };

struct OutputShaping {
    bool fragment = false; // one write call per byte
    uint32_t paceBaud = 0; // 0: as fast as the descriptor takes it
};

constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit

// Spaces bytes at a line rate with absolute deadlines, so rounding never accumulates:
// byte k of a burst is due at start + (k + 1) * 10 / baud seconds.
class Pacer {
public:
    explicit Pacer(uint32_t baud = 0) : baud_(baud) {}
    bool active() const { return baud_ != 0; }
    // Called before each write: a line that was idle starts a new burst now.
    void beginWrite();
    // How many of `wanted` bytes may go out now; sleeps until at least one may.
    std::size_t waitForSlot(std::size_t wanted);
    void sent(std::size_t n) { burstBytes_ += n; }

private:
    int64_t dueNs(uint64_t byteIndex) const;
    uint32_t baud_;
    bool started_ = false;
    int64_t burstStartNs_ = 0;
    uint64_t burstBytes_ = 0;
};

class Link {
public:
    explicit Link(UniqueFd fd, std::string description = {});

    void setStop(const StopSignal *stop) { stop_ = stop; }
    void setShaping(const OutputShaping &shaping);
    void setWriteTimeout(int ms) { writeTimeoutMs_ = ms; }

    // Waits for at least one byte (timeoutMs -1: no limit) and reads at most max.
    // dataLikely: the rest of something already begun, so try reading before waiting.
    IoResult read(uint8_t *buf, std::size_t max, int timeoutMs, std::size_t &got,
                  bool dataLikely = false);
    // Reads whatever is waiting without blocking; Closed at end of stream.
    IoResult readAvailable(uint8_t *buf, std::size_t max, std::size_t &got);
    // Writes all n bytes (shaped). Timeout when the host stops taking them.
    IoResult write(const uint8_t *buf, std::size_t n);

    void close();
    bool isOpen() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    const std::string &description() const { return description_; }
    const std::string &error() const { return error_; }

private:
    IoResult writeChunk(const uint8_t *buf, std::size_t n);
    IoResult fail(const std::string &what);

    UniqueFd fd_;
    bool socket_ = false;
    std::string description_;
    std::string error_;
    const StopSignal *stop_ = nullptr;
    OutputShaping shaping_;
    Pacer pacer_;
    int writeTimeoutMs_ = 30000;
};

} // namespace lumosim

#endif
