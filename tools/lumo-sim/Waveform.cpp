#include "Waveform.h"

#include <cmath>

namespace lumosim {

namespace {
constexpr int kSineCentre = 32768;
constexpr double kSineAmplitude = 16000.0;
constexpr uint32_t kSinePeriod = 64;
constexpr uint32_t kRampStepPerMeasurement = 1000;
constexpr uint32_t kTypesetCycle = 255;
constexpr double kTwoPi = 6.283185307179586;
} // namespace

namespace {

// The sine repeats every 64 samples, so one table serves every measurement.
struct SineTable {
    uint16_t value[kSinePeriod];
    SineTable()
    {
        for (uint32_t k = 0; k < kSinePeriod; ++k) {
            const double angle = kTwoPi * double(k) / double(kSinePeriod);
            value[k] = uint16_t(kSineCentre + long(std::lround(kSineAmplitude * std::sin(angle))));
        }
    }
};

const SineTable &sineTable()
{
    static const SineTable table;
    return table;
}

} // namespace

uint16_t sampleValue(const SimDevice &device, uint32_t index, uint32_t sample)
{
    if (index % 2 == 0) {
        const uint32_t phase = (device.seed + index) % kSinePeriod;
        return sineTable().value[(uint64_t(sample) + phase) % kSinePeriod];
    }
    return uint16_t(device.seed + kRampStepPerMeasurement * index + sample);
}

std::vector<uint16_t> expectedSamples(const SimDevice &device, uint32_t index)
{
    const uint32_t total = device.blocks * device.samplesPerBlock;
    std::vector<uint16_t> out(total);
    for (uint32_t i = 0; i < total; ++i)
        out[i] = sampleValue(device, index, i);
    return out;
}

MeasurementHeader expectedHeader(const SimDevice &device, uint32_t index)
{
    MeasurementHeader h;
    h.totBlocks = uint16_t(device.blocks);
    const int64_t back = int64_t(device.measurements - index) * kMeasurementSpacingSec;
    h.dtime = wire::packClock(wire::addSeconds(device.clock, -back));
    h.typeset = uint8_t(index % kTypesetCycle + 1);
    h.ns = uint16_t(device.blocks * device.samplesPerBlock);
    h.nss = uint16_t(device.samplesPerBlock);
    return h;
}

Bytes headerPayload(const MeasurementHeader &header)
{
    Bytes p;
    p.reserve(wire::kMeasurementHeaderSize);
    wire::putU16LE(p, header.totBlocks);
    wire::putU32LE(p, header.dtime);
    p.push_back(header.typeset);
    wire::putU16LE(p, header.ns);
    wire::putU16LE(p, header.nss);
    return p;
}

Bytes blockPayload(const SimDevice &device, uint32_t index, uint32_t block)
{
    Bytes p;
    appendBlockPayload(p, device, index, block);
    return p;
}

void appendBlockPayload(Bytes &p, const SimDevice &device, uint32_t index, uint32_t block)
{
    const std::size_t at = p.size();
    p.resize(at + 1 + 2 * std::size_t(device.samplesPerBlock));
    uint8_t *out = p.data() + at;
    *out++ = uint8_t(block);
    const uint32_t first = (block - 1) * device.samplesPerBlock;
    // The same values as sampleValue, walked incrementally (this runs for every block).
    const bool sine = index % 2 == 0;
    const uint16_t *table = sineTable().value;
    uint32_t k = uint32_t((uint64_t(first) + (device.seed + index) % kSinePeriod) % kSinePeriod);
    uint16_t ramp = sampleValue(device, index, first);
    for (uint32_t i = 0; i < device.samplesPerBlock; ++i) {
        const uint16_t v = sine ? table[k] : ramp++;
        k = (k + 1) % kSinePeriod;
        *out++ = uint8_t(v);
        *out++ = uint8_t(v >> 8);
    }
}

} // namespace lumosim
