// Configuration and status commands: device clock, parameter block, status block.
#include "protocol/Protocol.h"

#include "helpers/ByteOrder.h"
#include "helpers/Logging.h"
#include "protocol/ProtocolFrame.h"

#include <QDate>
#include <QTime>

namespace liblumo {

namespace {

// Date and time payload: year - 2000, month, day, hour, minute, second, weekday (1 = Monday).
constexpr int kDateTimeSize = 7;

// Parameter block on the wire, little-endian.
constexpr int kParamsBlockSize = 94;
constexpr int kParam16aOffset = 0;
constexpr int kParam32aOffset = 10;
constexpr int kParam32bOffset = 14;
constexpr int kParam16bOffset = 18;
constexpr int kParam32cOffset = 20;
constexpr int kParam16cOffset = 24;
constexpr int kParam32dOffset = 36;
constexpr int kParamsCrcOffset = 92; // bytes 60 to 91 are reserved: sent as zeros
constexpr int kParam16aCount = 5;
constexpr int kParam16cCount = 6;
constexpr int kParam32dCount = 6;

// Both answers open with a big-endian size prefix that is only logged.
constexpr int kConfigSizeLength = 2;
constexpr int kParamsAnswerSize = kConfigSizeLength + kParamsBlockSize;

// Status answer.
constexpr int kStatusAnswerSize = 30;
constexpr int kStatus32aOffset = 2;
constexpr int kStatus32bOffset = 6;
constexpr int kStatus16aOffset = 10;
constexpr int kStatusClockOffset = 12;
constexpr int kStatus16bOffset = 16;
constexpr int kStatus16bCount = 7;

constexpr int kU16 = 2;
constexpr int kU32 = 4;

void writeParamsBlock(const DeviceParams &params, uint8_t *out)
{
    for (int i = 0; i < kParam16aCount; ++i)
        helpers::writeU16LE(params.param16a[i], out + kParam16aOffset + i * kU16);
    helpers::writeU32LE(params.param32a, out + kParam32aOffset);
    helpers::writeU32LE(params.param32b, out + kParam32bOffset);
    helpers::writeU16LE(params.param16b, out + kParam16bOffset);
    helpers::writeU32LE(params.param32c, out + kParam32cOffset);
    for (int i = 0; i < kParam16cCount; ++i)
        helpers::writeU16LE(params.param16c[i], out + kParam16cOffset + i * kU16);
    for (int i = 0; i < kParam32dCount; ++i)
        helpers::writeU32LE(params.param32d[i], out + kParam32dOffset + i * kU32);
    helpers::writeU16LE(params.crc16, out + kParamsCrcOffset);
}

// Every field but `reserved`, which never comes from the device.
void readParamsBlock(const uint8_t *in, DeviceParams &params)
{
    for (int i = 0; i < kParam16aCount; ++i)
        params.param16a[i] = uint16_t(helpers::readU16LE(in + kParam16aOffset + i * kU16));
    params.param32a = uint32_t(helpers::readU32LE(in + kParam32aOffset));
    params.param32b = uint32_t(helpers::readU32LE(in + kParam32bOffset));
    params.param16b = uint16_t(helpers::readU16LE(in + kParam16bOffset));
    params.param32c = uint32_t(helpers::readU32LE(in + kParam32cOffset));
    for (int i = 0; i < kParam16cCount; ++i)
        params.param16c[i] = uint16_t(helpers::readU16LE(in + kParam16cOffset + i * kU16));
    for (int i = 0; i < kParam32dCount; ++i)
        params.param32d[i] = uint32_t(helpers::readU32LE(in + kParam32dOffset + i * kU32));
    params.crc16 = uint16_t(helpers::readU16LE(in + kParamsCrcOffset));
}

// The device clock in epoch seconds (low 32 bits), read in UTC: the zone setDateTime
// writes it in, so a clock just set reads back as the time it was set to.
uint32_t utcEpochSeconds(const timestamp_t &clock)
{
    const QDateTime utc(QDate(frame::kYearBase + clock.year, clock.month, clock.day),
                        QTime(clock.hour, clock.min, clock.sec, 0), Qt::UTC);
    return utc.isValid() ? uint32_t(utc.toSecsSinceEpoch()) : 0;
}

bool hasConfigSize(const QByteArray &answer)
{
    return answer.size() >= kConfigSizeLength;
}
int configSize(const QByteArray &answer)
{
    return helpers::readU16BE(frame::bytes(answer));
}

} // namespace

bool Protocol::setDateTime(const QDateTime &dateTime)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::setDateTime send request";
    bool ok = false;
    if (dateTime.isValid()) {
        const QDate date = dateTime.date();
        const QTime time = dateTime.time();
        const uint8_t payload[kDateTimeSize] = {uint8_t(date.year() - frame::kYearBase),
                                                uint8_t(date.month()),
                                                uint8_t(date.day()),
                                                uint8_t(time.hour()),
                                                uint8_t(time.minute()),
                                                uint8_t(time.second()),
                                                uint8_t(date.dayOfWeek())};
        ok = linkLayer.send(CMD_SET_DATE_TIME,
                  QByteArray(reinterpret_cast<const char *>(payload), kDateTimeSize));
    } else {
        LUMO_INFO << "Protocol::setDateTime invalid date and time";
    }
    LUMO_INFO << "Protocol::setDateTime result:" << ok;
    return ok;
}

bool Protocol::setDeviceParams(const DeviceParams &params, int /*timeoutMs: ACK only*/)
{
    uint8_t block[kParamsBlockSize] = {}; // the reserved bytes stay zero
    writeParamsBlock(params, block);
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::setDeviceParams send request";
    const bool ok =
        linkLayer.send(CMD_SET_DEVICE_PARAMS, QByteArray::fromRawData(
                                                  reinterpret_cast<const char *>(block), kParamsBlockSize));
    LUMO_INFO << "Protocol::setDeviceParams result:" << ok;
    return ok;
}

bool Protocol::getDeviceParams(DeviceParams &params, int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::getDeviceParams send request";
    bool ok = false;
    if (linkLayer.send(CMD_GET_DEVICE_PARAMS, QByteArray())) {
        uint8_t command = 0;
        QByteArray answer;
        const int result =
            linkLayer.receive({CMD_GET_DEVICE_PARAMS}, command, answer, timeoutMs, true);
        if (hasConfigSize(answer))
            LUMO_INFO << "Protocol::getDeviceParams configSize " << configSize(answer);
        if (result >= 0 && command == CMD_GET_DEVICE_PARAMS && answer.size() >= kParamsAnswerSize) {
            readParamsBlock(frame::bytes(answer) + kConfigSizeLength, params);
            ok = true;
        }
    }
    LUMO_INFO << "Protocol::getDeviceParams result:" << ok;
    return ok;
}

bool Protocol::getDeviceStatus(DeviceStatus &status, int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::getDeviceStatus send request";
    bool ok = false;
    if (linkLayer.send(CMD_GET_DEVICE_STATUS, QByteArray())) {
        LUMO_INFO << "Protocol::getDeviceStatus wait response";
        uint8_t command = 0;
        QByteArray answer;
        const int result =
            linkLayer.receive({CMD_GET_DEVICE_STATUS}, command, answer, timeoutMs, true);
        if (hasConfigSize(answer))
            LUMO_INFO << "Protocol::getDeviceStatus configSize:" << configSize(answer);
        if (result >= 0 && command == CMD_GET_DEVICE_STATUS && answer.size() >= kStatusAnswerSize) {
            const uint8_t *in = frame::bytes(answer);
            status.status32a = uint32_t(helpers::readU32LE(in + kStatus32aOffset));
            status.status32b = uint32_t(helpers::readU32LE(in + kStatus32bOffset));
            status.status16a = uint16_t(helpers::readU16LE(in + kStatus16aOffset));
            timestamp_t clock{};
            clock.packed = uint32_t(helpers::readU32LE(in + kStatusClockOffset));
            helpers::timestamp2Time(&clock);
            frame::logClock("Protocol::getDeviceStatus - timestamp:", clock);
            status.deviceTime = utcEpochSeconds(clock);
            for (int i = 0; i < kStatus16bCount; ++i)
                status.status16b[i] =
                    uint16_t(helpers::readU16LE(in + kStatus16bOffset + i * kU16));
            ok = true;
        }
    }
    LUMO_INFO << "Protocol::getDeviceStatus result:" << ok;
    return ok;
}

} // namespace liblumo
