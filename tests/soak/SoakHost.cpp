#include "SoakHost.h"

#include "Waveform.h"

#include <chrono>
#include <cstdio>
#include <cstring>

namespace soak {

using namespace liblumo;

namespace {

constexpr int kDinDigits = 9;
constexpr uint32_t kRampStepPerMeasurement = 1000;

} // namespace

std::string dinText(uint32_t number)
{
    // Nine digits, or the first nine of a ten-digit number.
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*u", kDinDigits, number);
    const std::string text(digits, kDinDigits);
    return text.substr(0, 3) + "-" + text.substr(3, 3) + "-" + text.substr(6, 3);
}

SoakHost::SoakHost(LibLumo &lib, const lumosim::SimDevice &simDevice)
    : library(lib), device(simDevice), din(dinText(simDevice.din))
{
}

SoakHost::~SoakHost()
{
    stop();
    delete profile;
}

bool SoakHost::startWith(IChannelProfile *newProfile)
{
    delete profile;
    profile = newProfile;
    lumo_ErrorCodes error = ERR_NONE;
    channelId = library.startChannel(profile, &SoakHost::onEvent, this, &error);
    if (error != ERR_NONE)
        stop();
    return channelId > 0;
}

bool SoakHost::startTcp(int port)
{
    auto *tcp = new TCPProfile;
    tcp->setServerPort(std::to_string(port));
    return startWith(tcp);
}

bool SoakHost::startSerial(const std::string &path)
{
    auto *serial = new SerialProfile;
    serial->setPortName(path);
    return startWith(serial);
}

void SoakHost::stop()
{
    if (channelId <= 0)
        return;
    lumo_ErrorCodes error = ERR_NONE;
    library.stopChannel(channelId, &error);
    channelId = 0;
}

SoakCounts SoakHost::counts()
{
    std::lock_guard<std::mutex> lock(mutex);
    return totals;
}

bool SoakHost::waitForTransfers(uint64_t transfers, double seconds)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        return totals.transfersDone + totals.actionsFailed >= transfers;
    });
}

int SoakHost::onEvent(lumo_Event event, void *data, void *user, lumo_ErrorCodes)
{
    auto *host = static_cast<SoakHost *>(user);
    if (data == nullptr)
        return 0; // channel started or stopped
    host->handle(event, *static_cast<lumo_EventData *>(data));
    return 0;
}

void SoakHost::problem(const std::string &what)
{
    if (totals.firstProblem.empty())
        totals.firstProblem = what;
}

// The measurement's type set numbers it within the session (index % 255 + 1), which
// tells which of the device's measurements it must be.
void SoakHost::check(const Measurement &measurement)
{
    const uint32_t index = measurement.typeset - 1;
    if (measurement.typeset == 0 || index >= device.measurements) {
        ++totals.badMeasurements;
        problem("measurement with type set " + std::to_string(measurement.typeset));
        return;
    }
    const lumosim::MeasurementHeader header = lumosim::expectedHeader(device, index);
    const std::vector<uint16_t> samples = lumosim::expectedSamples(device, index);
    const bool headerOk = measurement.dtime.packed == header.dtime && measurement.ns == header.ns &&
                          measurement.nss == header.nss;
    bool samplesOk =
        samples.size() <= kMaxSamples &&
        std::memcmp(measurement.samples, samples.data(), samples.size() * sizeof(uint16_t)) == 0;
    // Odd measurements are ramps, seed + 1000 * index + i: checked from that rule too, so
    // a fault shared by the simulator's generator and the library cannot hide.
    if (index % 2 == 1) {
        for (uint32_t i = 0; i < header.ns && i < kMaxSamples; ++i) {
            const uint16_t ramp = uint16_t(device.seed + kRampStepPerMeasurement * index + i);
            samplesOk = samplesOk && measurement.samples[i] == ramp;
        }
    }
    if (!headerOk || !samplesOk) {
        ++totals.badMeasurements;
        problem("measurement " + std::to_string(index) + (headerOk ? ": samples" : ": header") +
                " differ from the device's");
    }
}

void SoakHost::handle(lumo_Event event, lumo_EventData &data)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool ourDevice = din == data.din;
        if (!ourDevice) {
            ++totals.otherFailures;
            problem(std::string("event for unexpected DIN ") + data.din);
        }
        switch (event) {
        case EV_DEVICE_HANDSHAKE:
            data.answer = ourDevice ? 1 : 0;
            break;
        case EV_DEVICE_ADDED:
            ++totals.added;
            transferAsked = false;
            break;
        case EV_REQUEST_ACTION:
            data.answer = transferAsked ? SLEEP : DATA_TRANSFER;
            transferAsked = true;
            break;
        case EV_MEASUREMENT:
            ++totals.measurements;
            check(*reinterpret_cast<const Measurement *>(data.payload));
            break;
        case EV_TRANSFER_DONE:
            ++totals.transfersDone;
            break;
        case EV_ACTION_FAILED:
            ++totals.actionsFailed;
            problem("EV_ACTION_FAILED");
            break;
        case EV_KEEPALIVE_FAILED:
            ++totals.otherFailures;
            problem("EV_KEEPALIVE_FAILED");
            break;
        default:
            break;
        }
    }
    changed.notify_all();
}

} // namespace soak
