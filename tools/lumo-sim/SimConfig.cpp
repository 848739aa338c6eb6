#include "SimConfig.h"

#include <set>

namespace lumosim {

namespace {
constexpr uint16_t kDefaultHandshakeWord = 0x0100;
constexpr uint16_t kDefaultParamCrc = 0x1234;
constexpr uint32_t kDefaultMeasurements = 3;
constexpr uint32_t kDefaultBlocks = 4;
constexpr uint32_t kDefaultSamplesPerBlock = 200;
constexpr std::size_t kParamValueBytes = 60;  // bytes 60..91 are always zero on the wire
constexpr uint32_t kMaxMeasurements = 0xFFFF; // the count answer has 16 bits
} // namespace

SimDevice defaultDevice(uint32_t din)
{
    SimDevice d;
    d.din = din;
    d.clock = wire::Clock{2024, 5, 17, 13, 45, 30};
    d.handshakeWord = kDefaultHandshakeWord;
    d.status.status32a = din;
    d.status.status32b = 0x01020304;
    d.status.status16a = 3600;
    for (std::size_t i = 0; i < d.status.status16b.size(); ++i)
        d.status.status16b[i] = uint16_t(i + 1);
    for (std::size_t i = 0; i < kParamValueBytes; ++i)
        d.params[i] = uint8_t(din + 3 * i);
    setParamCrc(d, kDefaultParamCrc);
    d.measurements = kDefaultMeasurements;
    d.blocks = kDefaultBlocks;
    d.samplesPerBlock = kDefaultSamplesPerBlock;
    d.seed = din;
    return d;
}

void setParamCrc(SimDevice &device, uint16_t crc)
{
    device.paramCrc = crc;
    device.params[wire::kParamsCrcOffset] = uint8_t(crc);
    device.params[wire::kParamsCrcOffset + 1] = uint8_t(crc >> 8);
}

std::string validate(const SimConfig &config)
{
    if (config.devices.empty())
        return "no device to simulate";
    if (config.sessions == 0)
        return "the number of sessions must be at least 1";
    std::set<uint32_t> dins;
    for (const SimDevice &d : config.devices) {
        const std::string who = "device " + wire::dinText(d.din) + ": ";
        if (!dins.insert(d.din).second)
            return who + "DIN used twice";
        if (!wire::clockValid(d.clock))
            return who + "clock is not a valid date and time between 2000 and 2063";
        if (d.blocks > wire::kMaxBlocks)
            return who + "at most " + std::to_string(wire::kMaxBlocks) + " blocks per measurement";
        if (d.samplesPerBlock > wire::kMaxSamplesPerBlock)
            return who + "at most " + std::to_string(wire::kMaxSamplesPerBlock) +
                   " samples per block";
        if (uint64_t(d.blocks) * d.samplesPerBlock > kMaxSamplesPerMeasurement)
            return who + "at most " + std::to_string(kMaxSamplesPerMeasurement) +
                   " samples per measurement";
        if (config.faults.withheldBlocks > d.blocks)
            return who + "cannot withhold more blocks than a measurement has";
        if (config.faults.repeatBlock > d.blocks)
            return who + "the block to repeat is past the last block";
        if (d.measurements > kMaxMeasurements)
            return who + "at most 65535 measurements";
    }
    const SimTimeouts &t = config.timeouts;
    if (t.connectMs < 0 || t.ackMs <= 0 || t.handshakeMs <= 0 || t.idleMs < 0 || t.writeMs <= 0 ||
        t.busQuietMs < 0)
        return "time-outs must be positive (idle may be 0 for no limit, bus quiet 0)";
    return {};
}

} // namespace lumosim
