// Frame layout constants and the small helpers shared by the protocol's source files.
#ifndef LIBLUMO_PROTOCOL_PROTOCOLFRAME_H
#define LIBLUMO_PROTOCOL_PROTOCOLFRAME_H

#include "liblumo.h"

#include "helpers/InternalHelpers.h"
#include "helpers/Logging.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace liblumo::frame {

// STX | packet number (2) | length (2) | command | data | LRC
constexpr int kPacketOffset = 1;
constexpr int kLengthOffset = 3;
constexpr int kCommandOffset = 5;
constexpr int kDataOffset = 6;
constexpr int kHeaderSize = 6;    // everything up to and including the command
constexpr int kFrameOverhead = 7; // header plus LRC
constexpr int kLengthBias = 2;    // the length field counts the data plus 2
constexpr int kMaxDataLength = 0xFFFF - kLengthBias;

constexpr int kYearBase = 2000;

// XOR of size bytes, starting from 0.
inline uint8_t lrc(const uint8_t *data, int size)
{
    uint8_t value = 0;
    for (int i = 0; i < size; ++i)
        value ^= data[i];
    return value;
}

inline const uint8_t *bytes(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

// Command and LRC values in log lines: two upper-case hexadecimal digits.
inline QString hexByte(uint8_t value)
{
    return helpers::hexValue(value, 2).toUpper();
}

// "<label> year: Y month: M day: D hour: h min: m sec: s" for an unpacked device clock.
inline void logClock(const char *label, const timestamp_t &clock)
{
    LUMO_INFO << label << "year:" << int(clock.year) << "month:" << int(clock.month)
              << "day:" << int(clock.day) << "hour:" << int(clock.hour) << "min:" << int(clock.min)
              << "sec:" << int(clock.sec);
}

} // namespace liblumo::frame

#endif
