#include "liblumo.h"

#include "ChannelRecord.h"
#include "ChannelRegistry.h"
#include "ChannelThread.h"
#include "exchange/ExchangeContext.h"

#include <ctime>

namespace liblumo {

namespace {

constexpr int kUnregisterPollMs = 100; // how often a second stopChannel looks again
constexpr long kNsPerMs = 1000000;

void sleepMs(int ms)
{
    const timespec pause{ms / 1000, long(ms % 1000) * kNsPerMs};
    nanosleep(&pause, nullptr);
}

bool startChannelThread(ChannelRecord *record)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = threadCreator()(&thread, &attributes, &_threadChannel, record) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

// A second stopChannel for a channel that is already being stopped returns once the
// first one has removed the channel.
void waitUntilUnregistered(int id)
{
    while (registry::findChannel(id))
        sleepMs(kUnregisterPollMs);
}

} // namespace

LibLumo::LibLumo()
{
    registry::reset();
}

LibLumo::~LibLumo() = default;

int LibLumo::startChannel(IChannelProfile *profile, EventCallback callback, void *user,
                          lumo_ErrorCodes *error)
{
    ChannelRecord *record = nullptr;
    const int id = registry::registerChannel(profile, callback, user, &record);
    if (!record->signalsUsable()) {
        // Out of descriptors: a stop could not reach the channel's waits.
        registry::unregisterChannel(id);
        *error = ERR_NO_RESOURCES;
    } else if (!listenForDevices(*record)) {
        registry::unregisterChannel(id);
        *error = ERR_PORT_UNAVAILABLE;
    } else if (startChannelThread(record)) {
        *error = ERR_NONE;
    } else {
        // No thread would ever acknowledge a stop: the channel goes at once.
        registry::unregisterChannel(id);
        *error = ERR_THREAD_START;
    }
    return id;
}

void LibLumo::stopChannel(int id, lumo_ErrorCodes *error)
{
    bool alreadyStopping = false;
    ChannelRecord *record = registry::claimStop(id, &alreadyStopping);
    if (record) {
        record->requestStop();
        record->waitForStopAcknowledged();
        registry::unregisterChannel(id);
    } else if (alreadyStopping) {
        waitUntilUnregistered(id);
    }
    *error = ERR_NONE;
}

uint64_t currentConnectionId()
{
    return connectionRaising();
}

} // namespace liblumo
