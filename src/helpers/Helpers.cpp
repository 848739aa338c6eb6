#include "liblumo.h"

#include "InternalHelpers.h"

#include <QJsonDocument>
#include <QRandomGenerator64>

namespace liblumo::helpers {

namespace {
constexpr int kTokenPieceLength = 4;
constexpr uint16_t kCrc16Polynomial = 0x3D65;
} // namespace

void timestamp2Time(timestamp_t *ts)
{
    const uint32_t p = ts->packed;
    ts->year = uint8_t((p >> 26) & 0x3F);
    ts->month = uint8_t((p >> 22) & 0x0F);
    ts->day = uint8_t((p >> 17) & 0x1F);
    ts->hour = uint8_t((p >> 12) & 0x1F);
    ts->min = uint8_t((p >> 6) & 0x3F);
    ts->sec = uint8_t(p & 0x3F);
}

void time2Timestamp(timestamp_t *ts)
{
    // Only month and day are cut to their widths; the other fields are used whole and
    // spill into their neighbours when out of range, as devices expect.
    ts->packed = uint32_t(ts->year) << 26 | uint32_t(ts->month & 0x0F) << 22 |
                 uint32_t(ts->day & 0x1F) << 17 | uint32_t(ts->hour) << 12 |
                 uint32_t(ts->min) << 6 | uint32_t(ts->sec);
}

QString nowToString()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"));
}

QString formatDateTime(QDateTime dateTime)
{
    return dateTime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString decValue(uint32_t value, int width)
{
    return QStringLiteral("%1").arg(qulonglong(value), width, 10, QLatin1Char('0'));
}

QString hexValue(uint8_t value, int width)
{
    return QStringLiteral("%1").arg(qulonglong(value), width, 16, QLatin1Char('0'));
}

QString hexValue(uint16_t value, int width)
{
    return QStringLiteral("%1").arg(qulonglong(value), width, 16, QLatin1Char('0'));
}

QString hexValue(uint32_t value, int width)
{
    return QStringLiteral("%1").arg(qulonglong(value), width, 16, QLatin1Char('0'));
}

QString tokenGenerator(uint16_t length)
{
    QString token;
    for (int count = 0; count < length; count += kTokenPieceLength) {
        quint32 piece = 0;
        QRandomGenerator64::global()->fillRange(&piece, 1);
        token += hexValue(uint32_t(piece), kTokenPieceLength).toUpper();
    }
    return token;
}

QJsonObject toJson(QString text)
{
    QJsonParseError error;
    return QJsonDocument::fromJson(text.toUtf8(), &error).object();
}

QJsonArray toJsonArray(QString text)
{
    QJsonParseError error;
    return QJsonDocument::fromJson(text.toUtf8(), &error).array();
}

QString fromJson(const QJsonObject &object)
{
    // Read back up to the first zero byte, as a C string would be.
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.constData());
}

uint16_t calcCrc16(const uint8_t *data, uint16_t length)
{
    if (length == 0)
        return 0xFFFF;
    uint16_t crc = 0;
    for (uint16_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool dataBit = (data[i] >> bit) & 1;
            const bool topBit = (crc >> 15) & 1;
            crc = uint16_t(crc << 1);
            if (dataBit != topBit)
                crc ^= kCrc16Polynomial;
        }
    }
    return uint16_t(~crc);
}

} // namespace liblumo::helpers
