#include "FleetHost.h"

#include "Waveform.h"

#include <cstring>

namespace bench {

using namespace liblumo;

namespace {

constexpr std::size_t kDinDigits = 9;
constexpr uint32_t kMaxTrackedMeasurements = 32; // receivedMask has 32 bits

} // namespace

uint32_t dinNumber(const std::string &text)
{
    uint32_t number = 0;
    std::size_t digits = 0;
    for (char c : text) {
        if (c == '-')
            continue;
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + uint32_t(c - '0');
        ++digits;
    }
    return digits == kDinDigits ? number : 0;
}

FleetHost::FleetHost(LibLumo &lib, const lumosim::SimDevice &simDevice, FleetPlan answerPlan,
                     SampleCheck check)
    : library(lib), device(simDevice), plan(answerPlan), sampleCheck(check)
{
}

FleetHost::~FleetHost()
{
    stop();
}

bool FleetHost::start(int port, int maxConnections)
{
    if (maxConnections > 0) {
        auto fleet = std::make_unique<FleetTCPProfile>();
        fleet->setMaxConnections(maxConnections);
        profile = std::move(fleet);
    } else {
        profile = std::make_unique<TCPProfile>();
    }
    profile->setServerPort(std::to_string(port));
    lumo_ErrorCodes error = ERR_NONE;
    channelId = library.startChannel(profile.get(), &FleetHost::onEvent, this, &error);
    if (error != ERR_NONE)
        channelId = 0;
    return channelId > 0;
}

double FleetHost::stop()
{
    if (channelId <= 0)
        return 0.0;
    const Clock::time_point start = Clock::now();
    lumo_ErrorCodes error = ERR_NONE;
    library.stopChannel(channelId, &error);
    channelId = 0;
    return secondsSince(start);
}

FleetCounts FleetHost::counts()
{
    std::lock_guard<std::mutex> lock(mutex);
    return totals;
}

bool FleetHost::waitForSessions(uint64_t sessions, double seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        return totals.transfersDone + totals.actionsFailed >= sessions;
    });
}

bool FleetHost::waitForAdded(uint64_t devices, double seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return totals.added >= devices; });
}

std::vector<std::string> FleetHost::dinsWithEventsAfterStop()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> late;
    for (const auto &[din, state] : dins)
        if (stoppedAt == 0 || state.lastEvent > stoppedAt)
            late.push_back(din);
    return late;
}

int FleetHost::onEvent(lumo_Event event, void *data, void *user, lumo_ErrorCodes)
{
    static_cast<FleetHost *>(user)->handle(event, static_cast<lumo_EventData *>(data));
    return 0;
}

void FleetHost::problem(const std::string &what)
{
    if (totals.firstProblem.empty())
        totals.firstProblem = what;
}

void FleetHost::setActive(DinState &state, bool active)
{
    if (state.active == active)
        return;
    state.active = active;
    totals.active += active ? 1 : -1;
    totals.maxActive = std::max(totals.maxActive, totals.active);
}

void FleetHost::check(const std::string &din, const Measurement &m, DinState &state)
{
    lumosim::SimDevice expected = device;
    expected.din = dinNumber(din);
    expected.seed = expected.din;
    const uint32_t index = m.typeset - 1;
    if (m.typeset == 0 || index >= expected.measurements || index >= kMaxTrackedMeasurements) {
        ++totals.badMeasurements;
        problem(din + ": measurement with type set " + std::to_string(m.typeset));
        return;
    }
    const uint32_t bit = 1u << index;
    if (state.receivedMask & bit) {
        ++totals.duplicates;
        problem(din + ": measurement " + std::to_string(index) + " twice in one session");
    }
    state.receivedMask |= bit;
    ++state.received;

    const lumosim::MeasurementHeader header = lumosim::expectedHeader(expected, index);
    const uint32_t samples = expected.blocks * expected.samplesPerBlock;
    bool ok = m.dtime.packed == header.dtime && m.ns == header.ns && m.nss == header.nss &&
              samples <= kMaxSamples;
    if (ok && sampleCheck == SampleCheck::Every) {
        const std::vector<uint16_t> values = lumosim::expectedSamples(expected, index);
        ok = std::memcmp(m.samples, values.data(), values.size() * sizeof(uint16_t)) == 0;
    } else if (ok && samples > 0) {
        ok = m.samples[0] == lumosim::sampleValue(expected, index, 0) &&
             m.samples[samples - 1] == lumosim::sampleValue(expected, index, samples - 1);
    }
    if (!ok) {
        ++totals.badMeasurements;
        problem(din + ": measurement " + std::to_string(index) + " differs from the device's");
    }
}

void FleetHost::handleDevice(lumo_Event event, lumo_EventData &data, DinState &state)
{
    const std::string din = data.din;
    switch (event) {
    case EV_DEVICE_HANDSHAKE:
        if (totals.handshakes++ == 0)
            totals.firstHandshake = Clock::now();
        data.answer = 1;
        setActive(state, true);
        break;
    case EV_DEVICE_ADDED:
        ++totals.added;
        state.transferAsked = state.transferDone = false;
        state.receivedMask = state.received = 0;
        break;
    case EV_REQUEST_ACTION:
        if (plan == FleetPlan::Control) {
            data.answer = CONTROL;
        } else if (!state.transferAsked) {
            state.transferAsked = true;
            data.answer = DATA_TRANSFER;
        } else if (state.transferDone) {
            data.answer = SLEEP;
            setActive(state, false);
        } else {
            data.answer = CALIBRATION; // a failed transfer: nothing more this session
        }
        break;
    case EV_MEASUREMENT:
        ++totals.measurements;
        check(din, *reinterpret_cast<const Measurement *>(data.payload), state);
        break;
    case EV_TRANSFER_DONE:
        ++totals.transfersDone;
        totals.lastTransferDone = Clock::now();
        state.transferDone = true;
        if (state.received != device.measurements) {
            ++totals.sessionsShort;
            problem(din + ": transfer done after " + std::to_string(state.received) +
                    " measurements");
        }
        break;
    case EV_ACTION_FAILED:
        ++totals.actionsFailed;
        setActive(state, false);
        problem(din + ": EV_ACTION_FAILED");
        break;
    case EV_KEEPALIVE_FAILED:
        ++totals.keepAlivesFailed;
        setActive(state, false);
        break;
    default:
        break;
    }
}

void FleetHost::handle(lumo_Event event, lumo_EventData *data)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        const uint64_t number = ++sequence;
        if (totals.stopped) {
            ++totals.eventsAfterStop;
            problem("event " + std::to_string(event) + " after EV_CHANNEL_STOPPED");
        }
        if (event == EV_CHANNEL_STOPPED) {
            totals.stopped = true;
            stoppedAt = number;
        } else if (data) {
            DinState &state = dins[data->din];
            state.lastEvent = number;
            handleDevice(event, *data, state);
        }
    }
    changed.notify_all();
}

} // namespace bench
