#include "HostFrameReader.h"

#include "PosixClock.h"

#include <cstring>

namespace lumosim {

void HostFrameReader::consume(std::size_t n)
{
    std::memmove(buf_, buf_ + n, have_ - n);
    have_ -= n;
}

ReadOutcome HostFrameReader::fill(std::size_t needed, int64_t deadlineNs, int timeoutMs)
{
    while (have_ < needed) {
        int left = -1;
        if (timeoutMs >= 0) {
            left = int((deadlineNs - monotonicNs()) / kNsPerMs);
            if (left < 0)
                left = 0;
        }
        std::size_t got = 0;
        switch (link_.read(buf_ + have_, needed - have_, left, got, have_ > 0)) {
        case IoResult::Ok:
            have_ += got;
            break;
        case IoResult::Timeout:
            return ReadOutcome::Timeout;
        case IoResult::Closed:
            return ReadOutcome::Closed;
        case IoResult::Stopped:
            return ReadOutcome::Stopped;
        case IoResult::Error:
            return ReadOutcome::Error;
        }
    }
    return ReadOutcome::Frame;
}

ReadOutcome HostFrameReader::nextFrame(HostFrame &frame, int timeoutMs)
{
    const int64_t deadline = monotonicNs() + int64_t(timeoutMs) * kNsPerMs;
    for (;;) {
        ReadOutcome r = fill(1, deadline, timeoutMs);
        if (r != ReadOutcome::Frame)
            return r;
        if (buf_[0] != wire::kStx) {
            ++stray_;
            consume(1);
            continue;
        }
        r = fill(wire::kHeaderSize, deadline, timeoutMs);
        if (r != ReadOutcome::Frame)
            return r;
        const std::size_t length = wire::getU16BE(buf_ + 3);
        if (length < wire::kLengthBias || length - wire::kLengthBias > kMaxHostData) {
            // Not a frame after all: drop the start byte and look for the next one.
            ++stray_;
            consume(1);
            continue;
        }
        const std::size_t dataLen = length - wire::kLengthBias;
        const std::size_t total = dataLen + wire::kOverhead;
        r = fill(total, deadline, timeoutMs);
        if (r != ReadOutcome::Frame)
            return r;
        const bool good = wire::lrc(buf_, total - 1) == buf_[total - 1];
        if (good) {
            frame.packet = wire::getU16BE(buf_ + 1);
            frame.command = buf_[5];
            frame.data.assign(buf_ + wire::kHeaderSize, buf_ + wire::kHeaderSize + dataLen);
        }
        consume(total);
        return good ? ReadOutcome::Frame : ReadOutcome::BadLrc;
    }
}

ReadOutcome HostFrameReader::nextControl(uint8_t &control, int timeoutMs, bool stopAtFrame)
{
    const int64_t deadline = monotonicNs() + int64_t(timeoutMs) * kNsPerMs;
    for (;;) {
        ReadOutcome r = fill(1, deadline, timeoutMs);
        if (r != ReadOutcome::Frame)
            return r;
        const uint8_t b = buf_[0];
        if (stopAtFrame && b == wire::kStx)
            return ReadOutcome::FrameStart;
        consume(1);
        if (b == wire::kAck || b == wire::kNak) {
            control = b;
            return ReadOutcome::ControlByte;
        }
        ++stray_;
    }
}

} // namespace lumosim
