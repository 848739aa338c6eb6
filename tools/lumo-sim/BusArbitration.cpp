// Several devices on one half-duplex link: the handshakes (the first at once, the others
// once the host has been quiet for the bus window) and which device takes a command.
#include "PosixClock.h"
#include "Session.h"

#include <algorithm>

namespace lumosim {

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
    return dev.reportedEmpty && dev.remaining() == 0;
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

} // namespace lumosim
