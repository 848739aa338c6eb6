// Small helpers shared by the protocol's command files; the frame layout is in Frame.h.
#ifndef LIBLUMO_PROTOCOL_PROTOCOLFRAME_H
#define LIBLUMO_PROTOCOL_PROTOCOLFRAME_H

#include "liblumo.h"

#include "helpers/InternalHelpers.h"
#include "helpers/Logging.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace liblumo::frame {

constexpr int kYearBase = 2000;

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
