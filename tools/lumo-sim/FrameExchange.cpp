// Frames on the link: what goes out (ACKs ride with the next write), what comes in, and
// the stop-and-wait rule for device frames (ACK, or a resend after a NAK or time-out).
#include "FaultInjection.h"
#include "Session.h"

#include <cstdio>

namespace lumosim {

namespace {

constexpr int kMaxAttempts = 3; // sends of one device frame, the first included
constexpr std::size_t kDrainChunk = 512;

} // namespace

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
    const SimTimeouts &timeouts = sim_.config_.timeouts;
    const uint16_t packet = dev.nextPacket++;
    const uint8_t command = frame_[wire::kHeaderSize - 1];
    const FrameFaults faults =
        faultsForFrame(sim_.config_.faults, ++sim_.deviceFramesSent_, handshake);
    sim_.update([](SimReport &r) { ++r.framesSent; });

    if (faults.answerDelayMs) {
        // The ACK of the request goes out at once; only the answer is late.
        Step s = writeOut();
        if (s != Step::Ok)
            return s;
        if (!sleepUnlessStopped(sim_.stop_, int(faults.answerDelayMs)))
            return Step::Stopped;
    }
    const Bytes &frame = frame_;
    bool ackGarbled = false;
    bool commandInstead = false;

    for (int attempt = 0; attempt < kMaxAttempts && !commandInstead; ++attempt) {
        appendNoise(out_, faults.noiseBytes);
        out_.insert(out_.end(), frame.begin(), frame.end());
        if (attempt == 0 && faults.badLrcFirst)
            corruptLrc(out_);
        if (attempt > 0)
            sim_.update([](SimReport &r) { ++r.framesResent; });
        Step s = writeOut();
        if (s != Step::Ok)
            return s;
        lastPacket_ = packet;
        if (attempt == 0 && faults.dropAfterFirst)
            return Step::Dropped;
        if (attempt == 0 && faults.silentAfterFirst)
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
            if (faults.garbleFirstAck && !ackGarbled) {
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
    const bool nak = nakHostFrame(sim_.config_.faults, n);
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

} // namespace lumosim
