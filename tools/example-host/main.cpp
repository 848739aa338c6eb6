// lumo-example-host: the smallest useful host. Listens for devices on a TCP port,
// accepts every device, transfers its measurements, then sends it to sleep.
//
//   lumo-example-host [PORT] [SECONDS]
#include <liblumo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

const char *eventName(liblumo::lumo_Event event)
{
    switch (event) {
    case liblumo::EV_CHANNEL_STARTED:
        return "EV_CHANNEL_STARTED";
    case liblumo::EV_CHANNEL_STOPPED:
        return "EV_CHANNEL_STOPPED";
    case liblumo::EV_DEVICE_HANDSHAKE:
        return "EV_DEVICE_HANDSHAKE";
    case liblumo::EV_DEVICE_ADDED:
        return "EV_DEVICE_ADDED";
    case liblumo::EV_REQUEST_ACTION:
        return "EV_REQUEST_ACTION";
    case liblumo::EV_PARAMS_UPDATED:
        return "EV_PARAMS_UPDATED";
    case liblumo::EV_SYNC_DONE:
        return "EV_SYNC_DONE";
    case liblumo::EV_MEASUREMENT:
        return "EV_MEASUREMENT";
    case liblumo::EV_KEEPALIVE_FAILED:
        return "EV_KEEPALIVE_FAILED";
    case liblumo::EV_TRANSFER_DONE:
        return "EV_TRANSFER_DONE";
    case liblumo::EV_ACTION_FAILED:
        return "EV_ACTION_FAILED";
    }
    return "unknown event";
}

// What each device does next: transfer, then sleep. Only the exchange thread of our one
// channel calls back, but keep the plan safe for several channels anyway.
struct Host {
    std::mutex mutex;
    std::map<std::string, int> step; // DIN -> answers given
};

int onEvent(liblumo::lumo_Event event, void *data, void *user, liblumo::lumo_ErrorCodes)
{
    auto &host = *static_cast<Host *>(user);
    auto *record = static_cast<liblumo::lumo_EventData *>(data);
    std::printf("%-20s %s\n", eventName(event), record ? record->din : "");
    if (!record)
        return 0;
    std::lock_guard<std::mutex> lock(host.mutex);
    switch (event) {
    case liblumo::EV_DEVICE_HANDSHAKE:
        record->answer = 1; // accept every device
        host.step[record->din] = 0;
        break;
    case liblumo::EV_REQUEST_ACTION:
        record->answer = host.step[record->din]++ == 0 ? liblumo::DATA_TRANSFER : liblumo::SLEEP;
        break;
    case liblumo::EV_MEASUREMENT: {
        const auto *m = reinterpret_cast<const liblumo::Measurement *>(record->payload);
        std::printf("  measurement 20%02u-%02u-%02u %02u:%02u:%02u typeset %u ns %u nss %u\n",
                    m->dtime.year, m->dtime.month, m->dtime.day, m->dtime.hour, m->dtime.min,
                    m->dtime.sec, m->typeset, m->ns, m->nss);
        break;
    }
    default:
        break;
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string port = argc > 1 ? argv[1] : "5000";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 2;

    liblumo::LibLumo lumo;
    liblumo::TCPProfile profile;
    profile.setServerPort(port);
    Host host;
    liblumo::lumo_ErrorCodes error = liblumo::ERR_NONE;
    const int id = lumo.startChannel(&profile, &onEvent, &host, &error);
    if (error != liblumo::ERR_NONE) {
        std::fprintf(stderr, "could not start the channel\n");
        return 1;
    }
    std::printf("channel %d listening on TCP port %s for %d s\n", id, port.c_str(), seconds);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    lumo.stopChannel(id, &error); // never from inside the callback
    std::printf("channel %d stopped\n", id);
    return 0;
}
