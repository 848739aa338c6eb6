// Fuzz entry point: arbitrary host bytes through lumo-sim's reader of host frames, over a
// real pipe so that the link's reads and waits run as they do for a host.
//
// Input layout: [pattern] [host bytes...]
//   pattern: bit (n % 8) set makes the n-th call ask for an ACK/NAK, otherwise for a frame.
// The host closes its end once everything is written, so the reader ends with Closed.
// Every byte is accounted for: whatever the reader delivers must be exactly the bytes at
// its place in the stream.
#include "HostFrameReader.h"
#include "Link.h"
#include "PosixFd.h"
#include "Wire.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

using lumosim::Bytes;
using lumosim::HostFrame;
using lumosim::HostFrameReader;
using lumosim::ReadOutcome;
using lumosim::UniqueFd;

constexpr std::size_t kPipeRoom = 65536; // a pipe's default capacity: the write never blocks
constexpr int kTimeoutMs = 10000;        // never reached: the stream ends first
constexpr int kPatternBits = 8;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A pipe holding the host's bytes, its writing end already closed.
UniqueFd pipeWith(const uint8_t *data, std::size_t size)
{
    int ends[2];
    check(::pipe2(ends, O_CLOEXEC) == 0);
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    while (size > 0) {
        const ssize_t n = ::write(writeEnd.get(), data, size);
        check(n > 0);
        data += n;
        size -= std::size_t(n);
    }
    return readEnd;
}

// The stream as the reader has taken it apart so far: `taken` bytes went out as frames,
// damaged frames and control bytes; the reader's stray count covers the rest.
struct Stream {
    const uint8_t *bytes;
    std::size_t size;
    std::size_t taken = 0;

    std::size_t position(const HostFrameReader &reader) const
    {
        return std::size_t(reader.strayBytes()) + taken;
    }
};

void checkFrame(Stream &stream, const HostFrameReader &reader, const HostFrame &frame)
{
    check(frame.data.size() <= lumosim::kMaxHostData);
    Bytes expected;
    lumosim::wire::appendFrame(expected, frame.packet, frame.command, frame.data.data(),
                               frame.data.size());
    // The frame ends where the reader stands now.
    stream.taken += expected.size();
    const std::size_t end = stream.position(reader);
    check(end <= stream.size && end >= expected.size());
    check(std::memcmp(stream.bytes + end - expected.size(), expected.data(), expected.size()) == 0);
}

// A damaged frame starts where the reader stood once the stray bytes before it were counted.
void checkDamagedFrame(Stream &stream, const HostFrameReader &reader)
{
    const std::size_t start = stream.position(reader);
    check(start + lumosim::wire::kOverhead <= stream.size);
    const uint8_t *frame = stream.bytes + start;
    check(frame[0] == lumosim::wire::kStx);
    const std::size_t length = lumosim::wire::getU16BE(frame + 3);
    check(length >= lumosim::wire::kLengthBias);
    const std::size_t total = length - lumosim::wire::kLengthBias + lumosim::wire::kOverhead;
    check(start + total <= stream.size);
    check(lumosim::wire::lrc(frame, total - 1) != frame[total - 1]);
    stream.taken += total;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t pattern = data[0];
    Stream stream{data + 1, std::min(size - 1, kPipeRoom)};
    lumosim::Link link(pipeWith(stream.bytes, stream.size), "fuzz host");
    HostFrameReader reader(link);

    // Each call takes at least one byte or ends the stream, so this ends.
    for (unsigned call = 0;; ++call) {
        const std::size_t before = stream.position(reader);
        ReadOutcome outcome;
        if ((pattern >> (call % kPatternBits)) & 1) {
            uint8_t control = 0;
            outcome = reader.nextControl(control, kTimeoutMs);
            if (outcome == ReadOutcome::ControlByte) {
                const std::size_t at = stream.position(reader);
                check(at < stream.size && stream.bytes[at] == control);
                check(control == lumosim::wire::kAck || control == lumosim::wire::kNak);
                ++stream.taken;
            }
        } else {
            HostFrame frame;
            outcome = reader.nextFrame(frame, kTimeoutMs);
            if (outcome == ReadOutcome::Frame)
                checkFrame(stream, reader, frame);
            else if (outcome == ReadOutcome::BadLrc)
                checkDamagedFrame(stream, reader);
            check(outcome != ReadOutcome::ControlByte);
        }
        if (outcome == ReadOutcome::Closed)
            break;
        check(outcome == ReadOutcome::Frame || outcome == ReadOutcome::BadLrc ||
              outcome == ReadOutcome::ControlByte);
        check(stream.position(reader) > before);
    }
    // Nothing lost, nothing counted twice: what is left is the start of an unfinished frame.
    check(stream.position(reader) + reader.buffered() == stream.size);
    return 0;
}
