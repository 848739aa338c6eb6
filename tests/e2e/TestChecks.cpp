#include "TestChecks.h"

#include "Waveform.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace e2e {

using namespace liblumo;

namespace {
constexpr int kClockSlackSeconds = 10;

// The whole program runs five hours east of UTC, so a local time sent where UTC belongs
// shows. Set before main, while no thread can read the environment.
const bool kZoneSet = [] {
    setenv("TZ", "XST-5", 1);
    tzset();
    return true;
}();

constexpr int kYearBase = 2000;
constexpr std::size_t kDateTimeSize = 7;
} // namespace

std::vector<lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from)
{
    std::vector<lumo_Event> found;
    for (std::size_t i = from; i < events.size(); ++i)
        found.push_back(events[i].event);
    return found;
}

std::vector<std::vector<uint8_t>> rawUnits(const std::vector<HostUnit> &units)
{
    std::vector<std::vector<uint8_t>> raw;
    for (const HostUnit &unit : units)
        raw.push_back(unit.raw);
    return raw;
}

void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index)
{
    ASSERT_EQ(seen.measurement.size(), sizeof(Measurement));
    auto measurement = std::make_unique<Measurement>();
    std::memcpy(measurement.get(), seen.measurement.data(), sizeof(Measurement));
    const lumosim::MeasurementHeader header = lumosim::expectedHeader(device, index);
    const lumosim::wire::Clock clock = lumosim::wire::unpackClock(header.dtime);
    EXPECT_EQ(measurement->dtime.packed, header.dtime);
    EXPECT_EQ(measurement->dtime.year, clock.year - kYearBase);
    EXPECT_EQ(measurement->dtime.month, clock.month);
    EXPECT_EQ(measurement->dtime.day, clock.day);
    EXPECT_EQ(measurement->dtime.hour, clock.hour);
    EXPECT_EQ(measurement->dtime.min, clock.minute);
    EXPECT_EQ(measurement->dtime.sec, clock.second);
    EXPECT_EQ(measurement->typeset, header.typeset);
    EXPECT_EQ(measurement->ns, header.ns);
    EXPECT_EQ(measurement->nss, header.nss);
    const std::vector<uint16_t> samples = lumosim::expectedSamples(device, index);
    ASSERT_LE(samples.size(), kMaxSamples);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < samples.size(); ++i)
        mismatches += measurement->samples[i] != samples[i];
    EXPECT_EQ(mismatches, 0u) << "of " << samples.size() << " samples";
}

void expectStatus(const SeenEvent &seen, const lumosim::SimDevice &device)
{
    ASSERT_TRUE(seen.status.has_value());
    const DeviceStatus &status = *seen.status;
    EXPECT_EQ(status.status32a, device.status.status32a);
    EXPECT_EQ(status.status32b, device.status.status32b);
    EXPECT_EQ(status.status16a, device.status.status16a);
    for (std::size_t i = 0; i < device.status.status16b.size(); ++i)
        EXPECT_EQ(status.status16b[i], device.status.status16b[i]) << i;
    const QDateTime local(QDate(device.clock.year, device.clock.month, device.clock.day),
                          QTime(device.clock.hour, device.clock.minute, device.clock.second),
                          Qt::LocalTime);
    EXPECT_EQ(status.deviceTime, uint32_t(local.toSecsSinceEpoch()));
}

void expectUtcNow(const std::vector<uint8_t> &payload)
{
    ASSERT_TRUE(kZoneSet);
    ASSERT_EQ(payload.size(), kDateTimeSize);
    const QDate date(kYearBase + payload[0], payload[1], payload[2]);
    const QTime time(payload[3], payload[4], payload[5]);
    ASSERT_TRUE(date.isValid() && time.isValid());
    const QDateTime sent(date, time, Qt::UTC);
    const qint64 apart = std::llabs(sent.secsTo(QDateTime::currentDateTimeUtc()));
    EXPECT_LE(apart, kClockSlackSeconds) << sent.toString(Qt::ISODate).toStdString();
    EXPECT_EQ(payload[6], date.dayOfWeek());
}

} // namespace e2e
