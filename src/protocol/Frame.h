// The frame codec of the device protocol: a frame built from its values, the next frame
// found in received bytes, its LRC checked. No I/O and no logging: the link layer in
// Protocol does both and uses this for every frame it sends or takes.
//
// Frame: STX(02) | packet number (u16 BE) | length = N + 2 (u16 BE) | command | N data | LRC
// LRC is the XOR of every byte before it, the start byte included. There is no end byte
// and no escaping: a frame is found by its start byte and its length field.
#ifndef LIBLUMO_PROTOCOL_FRAME_H
#define LIBLUMO_PROTOCOL_FRAME_H

#include <QByteArray>

#include <cstdint>

namespace liblumo::protocol {

constexpr uint8_t kStartByte = 0x02;
constexpr int kPacketOffset = 1;
constexpr int kLengthOffset = 3;
constexpr int kCommandOffset = 5;
constexpr int kDataOffset = 6;
constexpr int kHeaderSize = 6;    // everything up to and including the command
constexpr int kFrameOverhead = 7; // header plus LRC
constexpr int kLengthBias = 2;    // the length field counts the data plus 2
constexpr int kMaxDataLength = 0xFFFF - kLengthBias;

// XOR of size bytes, starting from 0.
uint8_t lrc(const uint8_t *bytes, int size);

// The whole frame for one command, ready for a single write; empty when the data is longer
// than the length field can announce (kMaxDataLength).
QByteArray buildFrame(uint16_t packet, uint8_t command, const QByteArray &data);

// Where the next frame stands in received bytes.
struct FrameScan {
    enum Status {
        NoStart,    // no start byte: every byte is noise
        Incomplete, // a start byte, the frame not whole yet
        Complete,   // a whole frame with the right LRC
        BadLrc,     // a whole frame with a wrong LRC
    };
    Status status = NoStart;
    int start = 0;     // bytes before the frame's start byte, all of them for NoStart
    int frameSize = 0; // header, data and LRC, once the header is held; 0 before
};

// Scans size bytes for the first start byte and the frame it opens. A length field below
// 2 announces a data length that wraps to 65534 or 65535: a frame longer than any buffer.
FrameScan scanFrame(const uint8_t *bytes, int size);

// Fields of a frame that starts at `frame`: the packet number needs 3 bytes of it, the
// data length 5, the command 6.
uint16_t packetOf(const uint8_t *frame);
int dataLengthOf(const uint8_t *frame);
uint8_t commandOf(const uint8_t *frame);

} // namespace liblumo::protocol

#endif
