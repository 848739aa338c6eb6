#include "MeasurementRecord.h"

#include "TimeText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QCryptographicHash>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace lumo_collect {

std::string dinOf(const liblumo::lumo_EventData &record)
{
    return std::string(record.din, strnlen(record.din, liblumo::kDinSize));
}

MeasurementRecord copyMeasurement(const liblumo::lumo_EventData &record)
{
    // The payload is a byte array; copy the head field by field instead of aliasing it.
    liblumo::timestamp_t dtime{};
    uint32_t typeset = 0;
    uint16_t ns = 0;
    uint16_t nss = 0;
    const uint8_t *payload = record.payload;
    std::memcpy(&dtime, payload + offsetof(liblumo::Measurement, dtime), sizeof dtime);
    std::memcpy(&typeset, payload + offsetof(liblumo::Measurement, typeset), sizeof typeset);
    std::memcpy(&ns, payload + offsetof(liblumo::Measurement, ns), sizeof ns);
    std::memcpy(&nss, payload + offsetof(liblumo::Measurement, nss), sizeof nss);

    MeasurementRecord m;
    m.din = dinOf(record);
    m.dtimePacked = dtime.packed;
    m.measuredAt = formatDeviceTime(dtime.packed);
    m.receivedAt = utcNow();
    m.typeset = typeset;
    m.ns = ns;
    m.nss = nss;
    // Only what arrived: past it the record holds zeros, not this measurement's samples.
    m.samples.resize(std::min<std::size_t>(record.reserved, liblumo::kMaxSamples));
    if (!m.samples.empty()) // an empty vector may have no storage to copy into
        std::memcpy(m.samples.data(), payload + offsetof(liblumo::Measurement, samples),
                    m.samples.size() * sizeof(uint16_t));
    return m;
}

StatusRecord copyStatus(const liblumo::lumo_EventData &record)
{
    liblumo::DeviceStatus raw{};
    std::memcpy(&raw, record.payload, sizeof raw);
    StatusRecord s;
    s.status32a = raw.status32a;
    s.status32b = raw.status32b;
    s.status16a = raw.status16a;
    s.deviceTime = raw.deviceTime;
    std::copy(std::begin(raw.status16b), std::end(raw.status16b), std::begin(s.status16b));
    return s;
}

bool payloadHasStatus(const liblumo::lumo_EventData &record)
{
    const uint8_t *begin = record.payload;
    const uint8_t *end = begin + sizeof(liblumo::DeviceStatus);
    return std::any_of(begin, end, [](uint8_t b) { return b != 0; });
}

std::vector<uint8_t> samplesToBlob(const std::vector<uint16_t> &samples)
{
    constexpr int kByteBits = 8;
    constexpr unsigned kByteMask = 0xFF;
    std::vector<uint8_t> blob;
    blob.reserve(samples.size() * 2);
    for (uint16_t s : samples) {
        blob.push_back(static_cast<uint8_t>(s & kByteMask));
        blob.push_back(static_cast<uint8_t>(s >> kByteBits));
    }
    return blob;
}

std::vector<uint16_t> blobToSamples(const void *data, std::size_t bytes)
{
    constexpr int kByteBits = 8;
    const auto *p = static_cast<const uint8_t *>(data);
    std::vector<uint16_t> samples(bytes / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << kByteBits));
    return samples;
}

std::vector<uint8_t> samplesDigest(const std::vector<uint8_t> &blob)
{
    const QByteArray digest = QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char *>(blob.data()),
                                static_cast<int>(blob.size())),
        QCryptographicHash::Sha256);
    return std::vector<uint8_t>(digest.begin(), digest.end());
}

std::string formatDeviceTime(uint32_t packed)
{
    liblumo::timestamp_t ts{};
    ts.packed = packed;
    liblumo::helpers::timestamp2Time(&ts);
    constexpr int kYearBase = 2000;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", kYearBase + ts.year, ts.month,
                  ts.day, ts.hour, ts.min, ts.sec);
    return text;
}

namespace {
QJsonArray status16bArray(const StatusRecord &status)
{
    QJsonArray words;
    for (uint16_t value : status.status16b)
        words.append(value);
    return words;
}
} // namespace

std::string status16bJson(const StatusRecord &status)
{
    return QJsonDocument(status16bArray(status)).toJson(QJsonDocument::Compact).toStdString();
}

std::string statusJson(const StatusRecord &status)
{
    QJsonObject o;
    o["status32a"] = static_cast<qint64>(status.status32a);
    o["status32b"] = static_cast<qint64>(status.status32b);
    o["status16a"] = status.status16a;
    o["deviceTime"] = static_cast<qint64>(status.deviceTime);
    o["status16b"] = status16bArray(status);
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace lumo_collect
