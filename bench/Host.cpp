#include "Host.h"

namespace bench {

using namespace liblumo;

Host::Host(LibLumo &lib, Plan answerPlan) : library(lib), plan(answerPlan) {}

Host::~Host()
{
    if (running())
        stop();
    delete profile;
}

bool Host::startWith(IChannelProfile *newProfile)
{
    delete profile;
    profile = newProfile;
    lumo_ErrorCodes error = ERR_NONE;
    channelId = library.startChannel(profile, &Host::onEvent, this, &error);
    if (error != ERR_NONE) {
        lumo_ErrorCodes ignored = ERR_NONE;
        library.stopChannel(channelId, &ignored);
        channelId = 0;
    }
    return channelId > 0;
}

bool Host::startTcp(int port)
{
    auto *tcp = new TCPProfile;
    tcp->setServerPort(std::to_string(port));
    return startWith(tcp);
}

bool Host::startSerial(const std::string &path)
{
    auto *serial = new SerialProfile;
    serial->setPortName(path);
    return startWith(serial);
}

double Host::stop()
{
    const Clock::time_point start = Clock::now();
    lumo_ErrorCodes error = ERR_NONE;
    library.stopChannel(channelId, &error);
    channelId = 0;
    return secondsSince(start);
}

HostCounters Host::snapshot()
{
    std::lock_guard<std::mutex> lock(mutex);
    return counters;
}

void Host::resetCounters()
{
    std::lock_guard<std::mutex> lock(mutex);
    counters = HostCounters{};
}

int Host::onEvent(lumo_Event event, void *data, void *user, lumo_ErrorCodes)
{
    static_cast<Host *>(user)->handle(event, static_cast<lumo_EventData *>(data));
    return 0;
}

uint32_t Host::answerFor(const lumo_EventData &)
{
    switch (plan) {
    case Plan::TransferThenSleep:
        if (transferAsked)
            return SLEEP;
        transferAsked = true;
        counters.transferStart = Clock::now();
        return DATA_TRANSFER;
    case Plan::Control:
        return CONTROL;
    case Plan::Calibration:
        return CALIBRATION;
    }
    return EXIT;
}

void Host::handle(lumo_Event event, lumo_EventData *data)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        switch (event) {
        case EV_DEVICE_HANDSHAKE:
            ++counters.handshakes;
            data->answer = 1;
            break;
        case EV_DEVICE_ADDED:
            ++counters.added;
            transferAsked = false;
            break;
        case EV_REQUEST_ACTION:
            data->answer = answerFor(*data);
            break;
        case EV_MEASUREMENT: {
            const auto *measurement = reinterpret_cast<const Measurement *>(data->payload);
            ++counters.measurements;
            counters.samples += measurement->ns;
            if (expectedSamples != 0 && measurement->ns != expectedSamples)
                counters.badSamples = true;
            break;
        }
        case EV_TRANSFER_DONE:
            ++counters.transfersDone;
            counters.transferEnd = Clock::now();
            break;
        case EV_ACTION_FAILED:
            ++counters.actionsFailed;
            break;
        case EV_KEEPALIVE_FAILED:
            ++counters.keepAlivesFailed;
            break;
        case EV_CHANNEL_STOPPED:
            ++counters.stopped;
            break;
        default:
            break;
        }
    }
    changed.notify_all();
}

} // namespace bench
