// The device side of the frame format: byte values, the XOR checksum, frame building and
// the payloads a device sends. Written from the wire tables, independently of the
// library's own protocol code, so that the two sides check each other.
//
// Frame: STX(0x02) | packet u16 BE | length u16 BE (= data bytes + 2) | command | data |
//        LRC (XOR of every byte from STX to the last data byte).
// ACK (0x06) and NAK (0x15) travel alone, without framing.
#ifndef LUMO_SIM_WIRE_H
#define LUMO_SIM_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumosim {

using Bytes = std::vector<uint8_t>;

namespace wire {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

constexpr std::size_t kHeaderSize = 6; // STX, packet number, length, command
constexpr std::size_t kOverhead = kHeaderSize + 1;
constexpr std::size_t kLengthBias = 2; // the length field counts the data plus 2
constexpr std::size_t kMaxData = 0xFFFF - kLengthBias;

enum Command : uint8_t {
    kHandshake = 0x01,
    kSleep = 0x91,
    kRealTime = 0x92,
    kKeepAlive = 0xF1,
    kSetDateTime = 0xA1,
    kSetParams = 0xA2,
    kGetParams = 0xA3,
    kGetStatus = 0xA4,
    kGetCount = 0xB0,
    kRetrieveNext = 0xB1,
    kMeasurementHeader = 0x81,
    kMeasurementBlock = 0x82,
};

constexpr std::size_t kHandshakeSize = 12;
constexpr std::size_t kParamsSize = 94;
constexpr std::size_t kParamsCrcOffset = 92;
constexpr std::size_t kDateTimeSize = 7;
constexpr std::size_t kKeepAliveDigits = 10;
constexpr std::size_t kStatusBodySize = 28;
constexpr std::size_t kMeasurementHeaderSize = 11;
// A block is one frame: the block number and 2 bytes a sample within kMaxData.
constexpr std::size_t kMaxSamplesPerBlock = (kMaxData - 1) / 2;
// totBlocks has 16 bits; block k goes on the wire with the number k & 0xFF.
constexpr std::size_t kMaxBlocks = 0xFFFF;

uint8_t lrc(const uint8_t *bytes, std::size_t n);

// Builds a frame in place: beginFrame appends the header and returns where the frame
// starts; the caller appends the data (at most kMaxData bytes); endFrame fills in the
// length and appends the LRC.
std::size_t beginFrame(Bytes &out, uint16_t packet, uint8_t command);
void endFrame(Bytes &out, std::size_t start);
// Appends one frame to out. data may be null when n is 0; n must not exceed kMaxData.
void appendFrame(Bytes &out, uint16_t packet, uint8_t command, const uint8_t *data, std::size_t n);
Bytes frame(uint16_t packet, uint8_t command, const Bytes &data);

void putU16LE(Bytes &out, uint16_t v);
void putU32LE(Bytes &out, uint32_t v);
void putU16BE(Bytes &out, uint16_t v);
uint16_t getU16LE(const uint8_t *p);
uint16_t getU16BE(const uint8_t *p);
uint32_t getU32LE(const uint8_t *p);

// A date and time as the device keeps it.
struct Clock {
    int year = 2000; // full year, 2000..2063
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Packed form: year-2000 bits 31..26, month 25..22, day 21..17, hour 16..12,
// minute 11..6, second 5..0.
uint32_t packClock(const Clock &c);
Clock unpackClock(uint32_t packed);
bool clockValid(const Clock &c);
// The clock moved by a number of seconds (calendar arithmetic, UTC, no leap seconds).
Clock addSeconds(const Clock &c, int64_t seconds);
std::string clockText(const Clock &c); // "YYYY-MM-DDTHH:MM:SS"

Bytes handshakePayload(uint32_t din, uint32_t packedClock, uint16_t word, uint16_t crc);
// "NNN-NNN-NNN": the first nine digits of the zero-padded decimal DIN.
std::string dinText(uint32_t din);

} // namespace wire
} // namespace lumosim

#endif
