// How a session's end is counted into the report: the kind of end, the devices the host
// left holding measurements, the stray bytes.
#include "Session.h"

namespace lumosim {

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

} // namespace lumosim
