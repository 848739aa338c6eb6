#include "Simulator.h"

#include "HostFrameReader.h"
#include "PosixClock.h"
#include "Waveform.h"

#include <algorithm>
#include <cstdio>

namespace lumosim {

namespace {

constexpr int kMaxAttempts = 3;
constexpr std::size_t kFloodChunk = 256;
constexpr int kFloodWriteSliceMs = 100; // keep reading the host while it does not read us
constexpr uint32_t kFloodSeed = 0x2545F491;
constexpr std::size_t kDrainChunk = 512;
constexpr uint8_t kSleepArgument = 0x01;
constexpr uint8_t kCorruptLrcMask = 0xFF;
constexpr uint16_t kStatusBodySize = wire::kStatusBodySize;
constexpr uint16_t kParamsBodySize = wire::kParamsSize;
constexpr uint32_t kMaxCountAnswer = 0xFFFF;
// Noise before frames never contains a start byte, so the host can always skip it.
constexpr uint8_t kNoisePattern[] = {0xFF, 0x00, 0x55, 0xAA, 0x13, 0x7E, 0x80, 0x31};

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

// The block numbers (1-based) of one measurement in the order they go out, with the
// measurement faults applied.
std::vector<uint32_t> blockOrder(uint32_t blocks, const FaultConfig &f)
{
    const uint32_t sent = blocks - std::min(blocks, f.withheldBlocks);
    std::vector<uint32_t> order;
    order.reserve(sent + 1);
    const bool lastFirst = f.lastBlockFirst && sent > 1;
    if (lastFirst)
        order.push_back(sent);
    for (uint32_t k = 1; k <= (lastFirst ? sent - 1 : sent); ++k)
        order.push_back(k);
    if (f.swapFirstBlocks && order.size() >= 2)
        std::swap(order[0], order[1]);
    const auto first = std::find(order.begin(), order.end(), f.repeatBlock);
    if (f.repeatBlock != 0 && first != order.end())
        order.insert(first + 1, f.repeatBlock);
    return order;
}

} // namespace

// One session on one link. Every operation returns a Step; anything but Ok ends the
// session (Refused only ends one device's handshake).
class Simulator::Session {
public:
    Session(Simulator &sim, Link &link) : sim_(sim), link_(link), reader_(link) {}
    SessionEnd run();
    bool stopped() const { return stopped_; }

private:
    // Unacknowledged: a device frame got no ACK after its attempts (error_ says which).
    enum class Step { Ok, Refused, Silent, Dropped, Closed, Stopped, Unacknowledged, Failed };

    Step handshake(DeviceState &dev);
    Step handshakeNext();
    bool handshakesWaiting() const { return nextHandshake_ < players_.size(); }
    void choosePlayers();
    void noteMeasurementsLeft();
    void noteLinkBusy();
    int quietLeftMs() const;
    void ignoreHostFrame(const HostFrame &frame);
    Step serve();
    Step dispatch(const HostFrame &frame);
    Step retrieve(DeviceState &dev);
    Step sendBlock(DeviceState &dev, uint32_t index, uint32_t block);
    Step abandonRetrieval(DeviceState &dev);
    void noteHandedOver(DeviceState &dev, uint32_t index, const MeasurementHeader &header);
    Step setDateTime(DeviceState &dev, const Bytes &data);
    Step setParams(DeviceState &dev, const Bytes &data);
    Step keepAlive(DeviceState &dev, const Bytes &data);
    Step sendFrame(DeviceState &dev, uint8_t command, const Bytes &data, bool handshake);
    // Sends frame_ (built with dev.nextPacket) and waits for its ACK, resending.
    Step transmit(DeviceState &dev, bool handshake);
    Step writeOut();
    Step fromIo(IoResult r);
    Step fromRead(ReadOutcome r);
    ReadOutcome readFrame(HostFrame &frame, int timeoutMs);
    bool acceptHostFrame(const HostFrame &frame);
    void answerBadLrc();
    DeviceState &current();
    DeviceState &countTarget();
    static bool finished(const DeviceState &dev);
    bool anyAwake() const;
    Step drain(int timeoutMs);
    Step flood();
    SessionEnd finish(Step step);
    SessionEnd conclude(Step step);
    template <typename F> void updateDevice(const DeviceState &dev, F &&change)
    {
        sim_.update([&](SimReport &r) { change(*r.device(dev.config.din)); });
    }

    Simulator &sim_;
    Link &link_;
    HostFrameReader reader_;
    Bytes out_;   // bytes waiting to go out with the next write (ACKs ride with answers)
    Bytes frame_; // the device frame being sent, kept for resending
    uint16_t lastPacket_ = 0;
    std::vector<DeviceState *> players_; // the devices of this session, ascending DIN
    // Players handshake in DIN order; those from here on have not had their turn yet.
    std::size_t nextHandshake_ = 0;
    int64_t lastTrafficNs_ = 0;      // when the link was last busy (only with handshakes waiting)
    std::size_t bufferedAtLook_ = 0; // bytes of a partial host frame at the last look
    bool stopped_ = false;
    std::string error_;
};

Simulator::Session::Step Simulator::Session::fromIo(IoResult r)
{
    switch (r) {
    case IoResult::Ok:
        return Step::Ok;
    case IoResult::Closed:
        return Step::Closed;
    case IoResult::Stopped:
        return Step::Stopped;
    case IoResult::Timeout:
    case IoResult::Error:
        break;
    }
    error_ = link_.error();
    return Step::Failed;
}

Simulator::Session::Step Simulator::Session::fromRead(ReadOutcome r)
{
    switch (r) {
    case ReadOutcome::Closed:
        return Step::Closed;
    case ReadOutcome::Stopped:
        return Step::Stopped;
    case ReadOutcome::Error:
        error_ = link_.error();
        return Step::Failed;
    default:
        return Step::Ok;
    }
}

Simulator::Session::Step Simulator::Session::writeOut()
{
    if (out_.empty())
        return Step::Ok;
    // A slow link: whatever the device says reaches the host a round trip later than on
    // loopback, so a frame and its ACK (or a command and its answer) cost about that.
    const uint32_t delayMs = sim_.config_.frameDelayMs;
    if (delayMs && !sleepUnlessStopped(sim_.stop_, int(delayMs))) {
        out_.clear();
        return Step::Stopped;
    }
    IoResult r = link_.write(out_.data(), out_.size());
    out_.clear();
    return fromIo(r);
}

ReadOutcome Simulator::Session::readFrame(HostFrame &frame, int timeoutMs)
{
    switch (writeOut()) {
    case Step::Ok:
        return reader_.nextFrame(frame, timeoutMs);
    case Step::Closed:
        return ReadOutcome::Closed;
    case Step::Stopped:
        return ReadOutcome::Stopped;
    default:
        return ReadOutcome::Error;
    }
}

Simulator::Session::Step Simulator::Session::sendFrame(DeviceState &dev, uint8_t command,
                                                       const Bytes &data, bool handshake)
{
    frame_.clear();
    wire::appendFrame(frame_, dev.nextPacket, command, data.data(), data.size());
    return transmit(dev, handshake);
}

Simulator::Session::Step Simulator::Session::transmit(DeviceState &dev, bool handshake)
{
    const FaultConfig &faults = sim_.config_.faults;
    const SimTimeouts &timeouts = sim_.config_.timeouts;
    const uint16_t packet = dev.nextPacket++;
    const uint8_t command = frame_[wire::kHeaderSize - 1];
    const uint64_t frameNo = ++sim_.deviceFramesSent_;
    sim_.update([](SimReport &r) { ++r.framesSent; });

    if (!handshake && faults.answerDelayMs) {
        // The ACK of the request goes out at once; only the answer is late.
        Step s = writeOut();
        if (s != Step::Ok)
            return s;
        if (!sleepUnlessStopped(sim_.stop_, int(faults.answerDelayMs)))
            return Step::Stopped;
    }
    const Bytes &frame = frame_;
    // The repeated-frame fault: this frame's first ACK counts as garbled.
    const bool garbleAck = !handshake && frameNo == faults.repeatFrame;
    bool ackGarbled = false;
    bool commandInstead = false;

    for (int attempt = 0; attempt < kMaxAttempts && !commandInstead; ++attempt) {
        for (uint32_t i = 0; i < faults.noiseBytes; ++i)
            out_.push_back(kNoisePattern[i % sizeof kNoisePattern]);
        out_.insert(out_.end(), frame.begin(), frame.end());
        if (attempt == 0 && frameNo == faults.badLrcFrame)
            out_.back() ^= kCorruptLrcMask;
        if (attempt > 0)
            sim_.update([](SimReport &r) { ++r.framesResent; });
        Step s = writeOut();
        if (s != Step::Ok)
            return s;
        lastPacket_ = packet;
        if (attempt == 0 && frameNo == faults.dropAfterFrames)
            return Step::Dropped;
        if (attempt == 0 && frameNo == faults.silentAfterFrames)
            return Step::Silent;

        uint8_t control = 0;
        // A host that sends a command instead of the ACK has given up on this frame; its
        // command (whose bytes may hold 0x06 or 0x15) is served, not taken apart as stray.
        // A handshake keeps waiting: there the host may be commanding another device.
        ReadOutcome r = reader_.nextControl(
            control, handshake ? timeouts.handshakeMs : timeouts.ackMs, !handshake);
        if (r == ReadOutcome::FrameStart) {
            commandInstead = true;
            continue;
        }
        if (r == ReadOutcome::ControlByte && control == wire::kAck) {
            sim_.update([&](SimReport &rep) {
                ++rep.acksReceived;
                rep.framesAckedTwice += ackGarbled ? 1 : 0;
            });
            if (ackGarbled)
                updateDevice(dev, [](DeviceReport &d) { ++d.framesAckedTwice; });
            if (garbleAck && !ackGarbled) {
                ackGarbled = true;
                continue;
            }
            return Step::Ok;
        }
        if (r == ReadOutcome::ControlByte) {
            sim_.update([](SimReport &rep) { ++rep.naksReceived; });
            continue;
        }
        if (r == ReadOutcome::Timeout) {
            sim_.update([](SimReport &rep) { ++rep.ackTimeouts; });
            // A host that does not answer a handshake has refused the device.
            if (handshake)
                return Step::Refused;
            continue;
        }
        return fromRead(r);
    }
    if (handshake)
        return Step::Refused;
    char what[128];
    if (commandInstead)
        std::snprintf(what, sizeof what,
                      "frame 0x%02X of device %s not acknowledged: the host sent a command instead",
                      command, wire::dinText(dev.config.din).c_str());
    else
        std::snprintf(what, sizeof what,
                      "frame 0x%02X of device %s not acknowledged after %d attempts", command,
                      wire::dinText(dev.config.din).c_str(), kMaxAttempts);
    error_ = what;
    return Step::Unacknowledged;
}

bool Simulator::Session::acceptHostFrame(const HostFrame &frame)
{
    const uint64_t n = ++sim_.hostFramesSeen_;
    const bool mismatch = frame.packet != lastPacket_;
    const bool nak = n == sim_.config_.faults.nakHostFrame;
    sim_.update([&](SimReport &r) {
        ++r.framesReceived[frame.command];
        ++r.framesReceivedTotal;
        if (mismatch)
            ++r.packetMismatches;
        if (nak)
            ++r.naksSentByFault;
    });
    out_.push_back(nak ? wire::kNak : wire::kAck);
    return !nak;
}

void Simulator::Session::answerBadLrc()
{
    sim_.update([](SimReport &r) { ++r.badLrcReceived; });
    out_.push_back(wire::kNak);
}

Simulator::Session::Step Simulator::Session::handshake(DeviceState &dev)
{
    updateDevice(dev, [](DeviceReport &d) { ++d.handshakesSent; });
    const Bytes payload = wire::handshakePayload(dev.config.din, wire::packClock(dev.clock),
                                                 dev.config.handshakeWord, dev.paramCrc);
    auto unanswered = [&] {
        updateDevice(dev, [](DeviceReport &d) { ++d.handshakesUnanswered; });
        sim_.update([](SimReport &r) { ++r.handshakesUnanswered; });
        return Step::Refused;
    };
    Step s = sendFrame(dev, wire::kHandshake, payload, true);
    if (s == Step::Refused)
        return unanswered();
    if (s != Step::Ok)
        return s;
    for (;;) {
        HostFrame frame;
        ReadOutcome r = readFrame(frame, sim_.config_.timeouts.handshakeMs);
        if (r == ReadOutcome::BadLrc) {
            answerBadLrc();
            continue;
        }
        if (r == ReadOutcome::Timeout)
            return unanswered();
        if (r != ReadOutcome::Frame)
            return fromRead(r);
        if (!acceptHostFrame(frame))
            continue;
        // The ACK of the echo stays in out_ and leaves with the next write.
        if (frame.command != wire::kHandshake || frame.data != payload) {
            updateDevice(dev, [](DeviceReport &d) { ++d.echoMismatches; });
            return Step::Refused;
        }
        dev.accepted = true;
        updateDevice(dev, [](DeviceReport &d) { ++d.handshakesAccepted; });
        sim_.update([](SimReport &r) { ++r.handshakesAccepted; });
        return Step::Ok;
    }
}

bool Simulator::Session::anyAwake() const
{
    return std::any_of(sim_.devices_.begin(), sim_.devices_.end(),
                       [](const DeviceState &d) { return d.accepted && !d.asleep; });
}

bool Simulator::Session::finished(const DeviceState &dev)
{
    return dev.answeredCount && dev.remaining() == 0;
}

Simulator::DeviceState &Simulator::Session::current()
{
    DeviceState *firstAwake = nullptr;
    DeviceState *holder = nullptr;
    bool allFinished = true;
    for (DeviceState &d : sim_.devices_) {
        if (!d.accepted || d.asleep)
            continue;
        if (!firstAwake)
            firstAwake = &d;
        if (!holder && !d.passedOn)
            holder = &d;
        allFinished = allFinished && finished(d);
    }
    if (allFinished || !holder)
        holder = firstAwake;
    return holder ? *holder : sim_.devices_.front();
}

Simulator::DeviceState &Simulator::Session::countTarget()
{
    DeviceState &dev = current();
    if (!finished(dev))
        return dev;
    // The finished device passes the link on to the next awake device, if there is one.
    for (DeviceState &d : sim_.devices_) {
        if (d.config.din > dev.config.din && d.accepted && !d.asleep && !d.passedOn) {
            dev.passedOn = true;
            return d;
        }
    }
    return dev;
}

Simulator::Session::Step Simulator::Session::handshakeNext()
{
    return handshake(*players_[nextHandshake_++]);
}

void Simulator::Session::noteLinkBusy()
{
    // Only a waiting handshake needs the time: a lone device pays nothing for the rule.
    if (!handshakesWaiting())
        return;
    lastTrafficNs_ = monotonicNs();
    bufferedAtLook_ = reader_.buffered();
}

int Simulator::Session::quietLeftMs() const
{
    const int64_t left =
        lastTrafficNs_ + int64_t(sim_.config_.timeouts.busQuietMs) * kNsPerMs - monotonicNs();
    // Rounded up, so a wait never ends a little early and comes straight back for nothing.
    return left <= 0 ? 0 : int((left + kNsPerMs - 1) / kNsPerMs);
}

void Simulator::Session::ignoreHostFrame(const HostFrame &frame)
{
    ++sim_.hostFramesSeen_;
    sim_.update([&](SimReport &r) {
        ++r.framesReceived[frame.command];
        ++r.framesReceivedTotal;
    });
}

Simulator::Session::Step Simulator::Session::serve()
{
    const int idle = sim_.config_.timeouts.idleMs > 0 ? sim_.config_.timeouts.idleMs : -1;
    noteLinkBusy();
    for (;;) {
        const bool waiting = handshakesWaiting();
        if (!waiting && !anyAwake())
            break;
        int timeoutMs = idle;
        if (waiting) {
            timeoutMs = quietLeftMs();
            if (timeoutMs == 0) {
                // Every answer is complete here, and the host has been quiet long enough.
                Step s = handshakeNext();
                if (s != Step::Ok && s != Step::Refused)
                    return s;
                noteLinkBusy();
                continue;
            }
        }
        HostFrame frame;
        ReadOutcome r = readFrame(frame, timeoutMs);
        if (r == ReadOutcome::Timeout && waiting) {
            // A frame still arriving keeps the link busy; a fragment that stopped growing
            // does not (the handshake's wait for its ACK skips it as stray bytes).
            if (reader_.buffered() != bufferedAtLook_)
                noteLinkBusy();
            continue;
        }
        if (r == ReadOutcome::Timeout) {
            error_ = "the host sent nothing for " + std::to_string(idle) + " ms";
            return Step::Failed;
        }
        if (r != ReadOutcome::Frame && r != ReadOutcome::BadLrc)
            return fromRead(r);
        Step s = Step::Ok;
        if (!anyAwake()) {
            // Every device on the bus sleeps or waits for its handshake: nobody listens, so
            // nobody acknowledges (an ACK would tell the host its command arrived).
            if (r == ReadOutcome::Frame)
                ignoreHostFrame(frame);
        } else if (r == ReadOutcome::BadLrc) {
            answerBadLrc();
        } else if (acceptHostFrame(frame)) {
            s = dispatch(frame);
        }
        if (s != Step::Ok)
            return s;
        noteLinkBusy();
    }
    return writeOut();
}

Simulator::Session::Step Simulator::Session::dispatch(const HostFrame &frame)
{
    DeviceState &dev = frame.command == wire::kGetCount ? countTarget() : current();
    updateDevice(dev, [&](DeviceReport &d) { ++d.commandsReceived[frame.command]; });
    switch (frame.command) {
    case wire::kGetCount: {
        dev.answeredCount = true;
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
    const FaultConfig &faults = sim_.config_.faults;
    const uint64_t retrieval = ++sim_.retrievals_;
    const bool faulty = faults.faultyRetrieval == 0 || retrieval == faults.faultyRetrieval;
    const FaultConfig applied = faulty ? faults : FaultConfig{};

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

Simulator::Session::Step Simulator::Session::drain(int timeoutMs)
{
    uint8_t scratch[kDrainChunk];
    for (;;) {
        std::size_t got = 0;
        IoResult r = link_.read(scratch, sizeof scratch, timeoutMs, got);
        if (r == IoResult::Timeout)
            return Step::Ok;
        if (r != IoResult::Ok)
            return fromIo(r);
    }
}

Simulator::Session::Step Simulator::Session::flood()
{
    uint8_t chunk[kFloodChunk];
    uint8_t scratch[kDrainChunk];
    uint32_t x = kFloodSeed;
    link_.setWriteTimeout(kFloodWriteSliceMs);
    for (;;) {
        std::size_t got = 0;
        IoResult r = link_.readAvailable(scratch, sizeof scratch, got);
        if (r != IoResult::Ok)
            return fromIo(r);
        for (uint8_t &b : chunk) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x);
        }
        r = link_.write(chunk, sizeof chunk);
        if (r == IoResult::Ok)
            sim_.update([](SimReport &rep) { rep.floodBytes += kFloodChunk; });
        else if (r != IoResult::Timeout)
            return fromIo(r);
    }
}

void Simulator::Session::noteMeasurementsLeft()
{
    for (const DeviceState *d : players_)
        if (d->remaining() > 0)
            updateDevice(*d, [](DeviceReport &r) { ++r.sessionsLeftWithMeasurements; });
}

SessionEnd Simulator::Session::conclude(Step step)
{
    // The host left a device behind unless the run was stopped from outside or the
    // simulator itself broke the session off (a dropped link, silence, a flood).
    const bool byFault = step == Step::Dropped || step == Step::Silent || sim_.config_.faults.flood;
    const SessionEnd end = finish(step);
    if (!stopped_ && !byFault)
        noteMeasurementsLeft();
    const uint64_t stray = reader_.strayBytes();
    sim_.update([&](SimReport &r) { r.strayBytes += stray; });
    return end;
}

SessionEnd Simulator::Session::finish(Step step)
{
    switch (step) {
    case Step::Ok:
    case Step::Refused:
        return SessionEnd::Normal;
    case Step::Silent: {
        sim_.update([](SimReport &r) { ++r.sessionsWentSilent; });
        const int idle = sim_.config_.timeouts.idleMs > 0 ? sim_.config_.timeouts.idleMs : -1;
        return finish(drain(idle));
    }
    case Step::Dropped:
        link_.close();
        sim_.update([](SimReport &r) { ++r.linksDroppedByFault; });
        return SessionEnd::Dropped;
    case Step::Closed:
        sim_.update([](SimReport &r) { ++r.linksClosedByHost; });
        return SessionEnd::ClosedByHost;
    case Step::Stopped:
        stopped_ = true;
        return SessionEnd::Normal;
    case Step::Unacknowledged:
    case Step::Failed:
        sim_.fail(error_);
        return SessionEnd::Failed;
    }
    return SessionEnd::Normal;
}

void Simulator::Session::choosePlayers()
{
    const uint64_t session = sim_.sessionsPlayed_++;
    const std::size_t n = sim_.devices_.size();
    for (DeviceState &d : sim_.devices_) {
        d.present = !sim_.config_.devicePerSession || d.turn == session % n;
        if (d.present)
            players_.push_back(&d);
    }
}

SessionEnd Simulator::Session::run()
{
    sim_.update([](SimReport &r) { ++r.sessionsStarted; });
    choosePlayers();
    for (DeviceState &d : sim_.devices_) {
        d.accepted = false;
        d.asleep = false;
        d.answeredCount = false;
        d.passedOn = false;
        if (d.present && sim_.config_.refill && d.handedOver != 0) {
            d.handedOver = 0;
            updateDevice(d, [&](DeviceReport &r) { r.measurementsRemaining = d.remaining(); });
        }
    }
    if (sim_.config_.faults.flood)
        return conclude(flood());
    // The first device handshakes at once; the others when the link falls quiet (serve).
    Step s = handshakeNext();
    if (s != Step::Ok && s != Step::Refused)
        return conclude(s);
    s = serve();
    if (s != Step::Ok)
        return conclude(s);
    const bool anyAccepted = std::any_of(sim_.devices_.begin(), sim_.devices_.end(),
                                         [](const DeviceState &d) { return d.accepted; });
    if (anyAccepted)
        sim_.update([](SimReport &r) { ++r.sessionsCompleted; });
    if (sim_.config_.hold) {
        s = drain(-1);
        if (s != Step::Ok)
            return conclude(s);
    }
    return conclude(Step::Ok);
}

Simulator::Simulator(SimConfig config)
    : Simulator(std::move(config), std::make_unique<StopSignal>(), nullptr)
{
}

Simulator::Simulator(SimConfig config, StopSignal &sharedStop)
    : Simulator(std::move(config), nullptr, &sharedStop)
{
}

Simulator::Simulator(SimConfig config, std::unique_ptr<StopSignal> ownStop, StopSignal *sharedStop)
    : config_(std::move(config)), ownStop_(std::move(ownStop)),
      stop_(ownStop_ ? ownStop_.get() : sharedStop)
{
    for (const SimDevice &d : config_.devices) {
        DeviceState st;
        st.turn = devices_.size();
        st.config = d;
        st.clock = d.clock;
        st.paramCrc = d.paramCrc;
        st.params = d.params;
        devices_.push_back(st);
    }
    std::sort(devices_.begin(), devices_.end(), [](const DeviceState &a, const DeviceState &b) {
        return a.config.din < b.config.din;
    });
    for (const DeviceState &d : devices_) {
        DeviceReport r;
        r.din = d.config.din;
        r.measurementsStored = d.config.measurements;
        r.measurementsRemaining = d.config.measurements;
        report_.devices.push_back(r);
    }
}

void Simulator::fail(const std::string &why)
{
    update([&](SimReport &r) {
        r.result = "failed";
        r.error = why;
    });
}

SimReport Simulator::report() const
{
    std::lock_guard<std::mutex> lock(reportMutex_);
    return report_;
}

SimReport Simulator::run(LinkProvider &links)
{
    const std::string invalid = validate(config_);
    if (!invalid.empty()) {
        fail(invalid);
        return report();
    }
    if (!stop_->ok()) {
        fail("cannot create the stop pipe: " + lastErrorText());
        return report();
    }
    bool stopped = false;
    for (uint64_t n = 0; n < config_.sessions && !stopped; ++n) {
        if (stop_->triggered()) {
            stopped = true;
            break;
        }
        std::string error;
        Link *link = links.acquire(stop_, error);
        if (!link) {
            stopped = stop_->triggered();
            if (!stopped)
                fail(error);
            break;
        }
        link->setStop(stop_);
        link->setShaping(OutputShaping{config_.faults.fragment, config_.faults.paceBaud});
        link->setWriteTimeout(config_.timeouts.writeMs);
        Session session(*this, *link);
        const SessionEnd end = session.run();
        links.endSession(end);
        stopped = session.stopped();
        if (end == SessionEnd::Failed)
            break;
    }
    update([&](SimReport &r) {
        if (stopped && r.result == "ok")
            r.result = "stopped";
    });
    return report();
}

SimReport Simulator::run(Link &link)
{
    FixedLinkProvider links(link);
    return run(links);
}

} // namespace lumosim
