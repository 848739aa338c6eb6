// What each host command does to the device that takes it: its answer, the state it
// stores (clock, parameters) and the hand-over of measurements.
#include "FaultInjection.h"
#include "Session.h"

#include <algorithm>

namespace lumosim {

namespace {

constexpr uint8_t kSleepArgument = 0x01;
constexpr uint16_t kStatusBodySize = wire::kStatusBodySize;
constexpr uint16_t kParamsBodySize = wire::kParamsSize;
constexpr uint32_t kMaxCountAnswer = 0xFFFF;

std::string hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 0x0F]);
    }
    return s;
}

bool parseCounter(const Bytes &data, uint64_t &value)
{
    if (data.size() != wire::kKeepAliveDigits)
        return false;
    value = 0;
    for (uint8_t c : data) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

} // namespace

Simulator::Session::Step Simulator::Session::dispatch(const HostFrame &frame)
{
    DeviceState &dev = frame.command == wire::kGetCount ? countTarget() : current();
    updateDevice(dev, [&](DeviceReport &d) { ++d.commandsReceived[frame.command]; });
    switch (frame.command) {
    case wire::kGetCount: {
        // A device passes the link on only once it has told the host it holds nothing: the
        // host asks again after a transfer, and that count is still this device's.
        dev.reportedEmpty = dev.remaining() == 0;
        updateDevice(dev, [](DeviceReport &d) { ++d.countRequests; });
        Bytes p;
        wire::putU16LE(p, uint16_t(std::min(dev.remaining(), kMaxCountAnswer)));
        return sendFrame(dev, wire::kGetCount, p, false);
    }
    case wire::kRetrieveNext:
        return retrieve(dev);
    case wire::kGetStatus: {
        updateDevice(dev, [](DeviceReport &d) { ++d.statusRequests; });
        const StatusValues &st = dev.config.status;
        Bytes p;
        wire::putU16BE(p, kStatusBodySize);
        wire::putU32LE(p, st.status32a);
        wire::putU32LE(p, st.status32b);
        wire::putU16LE(p, st.status16a);
        wire::putU32LE(p, wire::packClock(dev.clock));
        for (uint16_t v : st.status16b)
            wire::putU16LE(p, v);
        return sendFrame(dev, wire::kGetStatus, p, false);
    }
    case wire::kGetParams: {
        updateDevice(dev, [](DeviceReport &d) { ++d.paramRequests; });
        Bytes p;
        wire::putU16BE(p, kParamsBodySize);
        p.insert(p.end(), dev.params.begin(), dev.params.end());
        return sendFrame(dev, wire::kGetParams, p, false);
    }
    case wire::kSetDateTime:
        return setDateTime(dev, frame.data);
    case wire::kSetParams:
        return setParams(dev, frame.data);
    case wire::kKeepAlive:
        return keepAlive(dev, frame.data);
    case wire::kRealTime:
        updateDevice(dev, [](DeviceReport &d) { ++d.realTimeCommands; });
        return sendFrame(dev, wire::kRealTime, frame.data, false);
    case wire::kSleep: {
        const bool wellFormed = frame.data.size() == 1 && frame.data[0] == kSleepArgument;
        dev.asleep = true;
        updateDevice(dev, [&](DeviceReport &d) {
            ++d.sleepsReceived;
            d.malformedCommands += wellFormed ? 0 : 1;
        });
        return Step::Ok;
    }
    default:
        // Acknowledged and counted; a device has nothing to say to commands it lacks.
        return Step::Ok;
    }
}

Simulator::Session::Step Simulator::Session::retrieve(DeviceState &dev)
{
    updateDevice(dev, [](DeviceReport &d) { ++d.retrieveRequests; });
    if (dev.remaining() == 0) {
        // Nothing left: an empty header (no blocks) tells the host so.
        MeasurementHeader empty;
        empty.dtime = wire::packClock(dev.clock);
        const Step s = sendFrame(dev, wire::kMeasurementHeader, headerPayload(empty), false);
        return s == Step::Unacknowledged ? abandonRetrieval(dev) : s;
    }
    const FaultConfig applied = faultsForRetrieval(sim_.config_.faults, ++sim_.retrievals_);

    const uint32_t index = dev.handedOver;
    MeasurementHeader header = expectedHeader(dev.config, index);
    header.ns = uint16_t(header.ns + applied.headerExtraSamples);
    Step s = sendFrame(dev, wire::kMeasurementHeader, headerPayload(header), false);
    for (uint32_t block : blockOrder(dev.config.blocks, applied)) {
        if (s != Step::Ok)
            break;
        s = sendBlock(dev, index, block);
    }
    if (s == Step::Unacknowledged)
        return abandonRetrieval(dev);
    if (s != Step::Ok)
        return s;
    // With blocks withheld the host still waits for them; the device waits for a command.
    if (applied.withheldBlocks == 0)
        noteHandedOver(dev, index, header);
    return Step::Ok;
}

Simulator::Session::Step Simulator::Session::sendBlock(DeviceState &dev, uint32_t index,
                                                       uint32_t block)
{
    // Built straight into the frame buffer: these are the bulk of every transfer.
    frame_.clear();
    const std::size_t start = wire::beginFrame(frame_, dev.nextPacket, wire::kMeasurementBlock);
    appendBlockPayload(frame_, dev.config, index, block);
    wire::endFrame(frame_, start);
    return transmit(dev, false);
}

Simulator::Session::Step Simulator::Session::abandonRetrieval(DeviceState &dev)
{
    // The device keeps the measurement and goes back to waiting for commands.
    error_.clear();
    updateDevice(dev, [](DeviceReport &d) { ++d.retrievalsAbandoned; });
    sim_.update([](SimReport &r) { ++r.retrievalsAbandoned; });
    return Step::Ok;
}

void Simulator::Session::noteHandedOver(DeviceState &dev, uint32_t index,
                                        const MeasurementHeader &header)
{
    ++dev.handedOver;
    HandedOverMeasurement m;
    m.index = index;
    m.samples = dev.config.blocks * dev.config.samplesPerBlock;
    m.totBlocks = header.totBlocks;
    m.ns = header.ns;
    m.dtime = header.dtime;
    const uint32_t remaining = dev.remaining();
    updateDevice(dev, [&](DeviceReport &d) {
        ++d.measurementsHandedOver;
        d.measurementsRemaining = remaining;
        recordBounded(d.handedOver, m);
    });
    sim_.update([](SimReport &r) { ++r.measurementsHandedOver; });
}

Simulator::Session::Step Simulator::Session::setDateTime(DeviceState &dev, const Bytes &data)
{
    bool stored = false;
    if (data.size() == wire::kDateTimeSize) {
        wire::Clock c{2000 + data[0], data[1], data[2], data[3], data[4], data[5]};
        if (wire::clockValid(c)) {
            dev.clock = c;
            stored = true;
        }
    }
    updateDevice(dev, [&](DeviceReport &d) {
        recordBounded(d.dateTimesWritten, hex(data));
        d.malformedCommands += stored ? 0 : 1;
    });
    return Step::Ok;
}

Simulator::Session::Step Simulator::Session::setParams(DeviceState &dev, const Bytes &data)
{
    const bool stored = data.size() == wire::kParamsSize;
    if (stored) {
        std::copy(data.begin(), data.end(), dev.params.begin());
        // From now on the device reports the CRC that came with the parameters.
        dev.paramCrc = wire::getU16LE(dev.params.data() + wire::kParamsCrcOffset);
    }
    updateDevice(dev, [&](DeviceReport &d) {
        recordBounded(d.paramsWritten, hex(data));
        d.malformedCommands += stored ? 0 : 1;
    });
    return Step::Ok;
}

Simulator::Session::Step Simulator::Session::keepAlive(DeviceState &dev, const Bytes &data)
{
    uint64_t counter = 0;
    const bool valid = parseCounter(data, counter);
    updateDevice(dev, [&](DeviceReport &d) {
        ++d.keepAlivesReceived;
        if (valid)
            recordBounded(d.keepAliveCounters, counter);
        else
            ++d.malformedCommands;
    });
    return sendFrame(dev, wire::kKeepAlive, data, false);
}

} // namespace lumosim
