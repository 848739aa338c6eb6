#include "Link.h"

#include "PosixClock.h"

#include <algorithm>

namespace lumosim {

int64_t Pacer::dueNs(uint64_t byteIndex) const
{
    // A byte is complete on the line after kBitsPerByte bit times.
    return burstStartNs_ + int64_t((byteIndex + 1) * kBitsPerByte * uint64_t(kNsPerSec) / baud_);
}

void Pacer::beginWrite()
{
    // A line that fell idle starts a new burst: it does not make up for lost time.
    const int64_t now = monotonicNs();
    if (!started_ || now > dueNs(burstBytes_)) {
        started_ = true;
        burstStartNs_ = now;
        burstBytes_ = 0;
    }
}

std::size_t Pacer::waitForSlot(std::size_t wanted)
{
    // Move the origin forward now and then so the products in dueNs never overflow.
    constexpr uint64_t kRebaseAfterBytes = uint64_t(1) << 20;
    if (burstBytes_ >= kRebaseAfterBytes) {
        burstStartNs_ = dueNs(burstBytes_ - 1);
        burstBytes_ = 0;
    }
    int64_t now = monotonicNs();
    const int64_t first = dueNs(burstBytes_);
    if (now < first) {
        sleepUntilNs(first);
        now = first;
    }
    // Within a burst a late writer catches up: every byte already due goes at once.
    std::size_t n = 1;
    while (n < wanted && dueNs(burstBytes_ + n) <= now)
        ++n;
    return n;
}

Link::Link(UniqueFd fd, std::string description)
    : fd_(std::move(fd)), description_(std::move(description))
{
    if (fd_.valid()) {
        setNonBlocking(fd_.get());
        socket_ = isSocket(fd_.get());
    }
}

void Link::setShaping(const OutputShaping &shaping)
{
    shaping_ = shaping;
    pacer_ = Pacer(shaping.paceBaud);
}

IoResult Link::fail(const std::string &what)
{
    error_ = what + ": " + lastErrorText();
    return IoResult::Error;
}

IoResult Link::read(uint8_t *buf, std::size_t max, int timeoutMs, std::size_t &got, bool dataLikely)
{
    got = 0;
    if (!fd_.valid())
        return IoResult::Closed;
    const int64_t deadline = timeoutMs < 0 ? 0 : monotonicNs() + int64_t(timeoutMs) * kNsPerMs;
    // Waiting first saves a system call when the host has not answered yet, which is the
    // usual case; the rest of a frame is usually there already.
    bool tryRead = dataLikely;
    for (;;) {
        if (tryRead) {
            long n = readNonBlocking(fd_.get(), buf, max);
            if (n > 0) {
                got = std::size_t(n);
                return IoResult::Ok;
            }
            if (n == 0)
                return IoResult::Closed;
            if (n == -2)
                return fail("read from " + description_);
        }
        tryRead = true;
        int left = -1;
        if (timeoutMs >= 0) {
            left = int((deadline - monotonicNs() + kNsPerMs - 1) / kNsPerMs);
            if (left < 0)
                left = 0;
        }
        switch (waitReadable(fd_.get(), stop_, left)) {
        case WaitResult::Ready:
            break;
        case WaitResult::Timeout:
            return IoResult::Timeout;
        case WaitResult::Stopped:
            return IoResult::Stopped;
        case WaitResult::Hangup:
            return IoResult::Closed;
        case WaitResult::Error:
            return fail("wait for " + description_);
        }
    }
}

IoResult Link::readAvailable(uint8_t *buf, std::size_t max, std::size_t &got)
{
    got = 0;
    if (!fd_.valid())
        return IoResult::Closed;
    long n = readNonBlocking(fd_.get(), buf, max);
    if (n > 0)
        got = std::size_t(n);
    if (n == 0)
        return IoResult::Closed;
    if (n == -2)
        return fail("read from " + description_);
    return IoResult::Ok;
}

IoResult Link::writeChunk(const uint8_t *buf, std::size_t n)
{
    while (n > 0) {
        long put = writeNonBlocking(fd_.get(), buf, n, socket_);
        if (put > 0) {
            buf += put;
            n -= std::size_t(put);
            continue;
        }
        if (put == -3)
            return IoResult::Closed;
        if (put == -2)
            return fail("write to " + description_);
        switch (waitWritable(fd_.get(), stop_, writeTimeoutMs_)) {
        case WaitResult::Ready:
            break;
        case WaitResult::Timeout:
            error_ = "the host took no bytes for " + std::to_string(writeTimeoutMs_) + " ms";
            return IoResult::Timeout;
        case WaitResult::Stopped:
            return IoResult::Stopped;
        case WaitResult::Hangup:
            return IoResult::Closed;
        case WaitResult::Error:
            return fail("wait for " + description_);
        }
    }
    return IoResult::Ok;
}

IoResult Link::write(const uint8_t *buf, std::size_t n)
{
    if (!fd_.valid())
        return IoResult::Closed;
    if (!shaping_.fragment && !pacer_.active())
        return writeChunk(buf, n);
    // Checking for a stop costs a system call, so shaped output looks only now and then.
    constexpr std::size_t kStopCheckInterval = 64;
    std::size_t done = 0;
    std::size_t chunks = 0;
    if (pacer_.active())
        pacer_.beginWrite();
    while (done < n) {
        std::size_t chunk = n - done;
        if (pacer_.active())
            chunk = pacer_.waitForSlot(chunk);
        if (shaping_.fragment)
            chunk = 1;
        if (stop_ && ++chunks % kStopCheckInterval == 0 && stop_->triggered())
            return IoResult::Stopped;
        IoResult r = writeChunk(buf + done, chunk);
        if (r != IoResult::Ok)
            return r;
        pacer_.sent(chunk);
        done += chunk;
    }
    return IoResult::Ok;
}

void Link::close()
{
    fd_.reset();
}

} // namespace lumosim
