// The course of one session (who plays, the first handshake, serving, the end) and the
// Simulator that runs sessions on the links a provider hands it.
#include "Simulator.h"

#include "Session.h"

#include <algorithm>

#include <poll.h>

namespace lumosim {

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
        d.reportedEmpty = false;
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
        if (n > 0 && config_.sessionGapMs > 0) {
            pollfd p{stop_->waitFd(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(config_.sessionGapMs)); // the stop ends it early
        }
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
