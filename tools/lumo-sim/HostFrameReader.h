// Takes the host's bytes apart: frames (checked against their LRC) and the single
// ACK/NAK bytes that answer the device's frames. It asks the link only for the bytes the
// current frame still needs (the header, then the rest), so a frame costs two reads.
#ifndef LUMO_SIM_HOSTFRAMEREADER_H
#define LUMO_SIM_HOSTFRAMEREADER_H

#include "Link.h"
#include "Wire.h"

#include <cstdint>

namespace lumosim {

struct HostFrame {
    uint16_t packet = 0;
    uint8_t command = 0;
    Bytes data;
};

enum class ReadOutcome {
    Frame,       // a complete frame with a valid LRC
    BadLrc,      // a complete frame whose LRC is wrong (already consumed)
    ControlByte, // ACK or NAK (only when asked for)
    FrameStart,  // a host frame begins where an ACK or NAK was awaited (left unread)
    Timeout,
    Closed,
    Stopped,
    Error,
};

// The host never sends more than a parameter block; anything claiming far more is
// noise that happens to contain a start byte.
constexpr std::size_t kMaxHostData = 4096;

class HostFrameReader {
public:
    explicit HostFrameReader(Link &link) : link_(link) {}

    // Next frame; ACK/NAK bytes and anything before a start byte count as stray.
    ReadOutcome nextFrame(HostFrame &frame, int timeoutMs);
    // Next ACK or NAK; anything else counts as stray. With stopAtFrame a start byte ends
    // the wait instead (FrameStart) and stays buffered for nextFrame.
    ReadOutcome nextControl(uint8_t &control, int timeoutMs, bool stopAtFrame = false);

    uint64_t strayBytes() const { return stray_; }
    // Bytes of a frame that has begun to arrive but is not complete yet.
    std::size_t buffered() const { return have_; }
    // Forget whatever is buffered (the link was dropped or replaced).
    void reset() { have_ = 0; }

private:
    ReadOutcome fill(std::size_t needed, int64_t deadlineNs, int timeoutMs);
    void consume(std::size_t n);

    Link &link_;
    uint8_t buf_[wire::kOverhead + kMaxHostData];
    std::size_t have_ = 0;
    uint64_t stray_ = 0;
};

} // namespace lumosim

#endif
