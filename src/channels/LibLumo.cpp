#include "liblumo.h"

#include "ChannelRecord.h"
#include "ChannelRegistry.h"
#include "ChannelThread.h"

#include <ctime>

namespace liblumo {

namespace {

constexpr int kStopPollMs = 100; // the longest stopChannel waits between two looks
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

void requestStop(ChannelRecord &record)
{
    pthread_mutex_lock(&record.mutex);
    record.stop = 1;
    record.stopRequested = true;
    pthread_cond_broadcast(&record.stopChanged);
    pthread_mutex_unlock(&record.mutex);
}

// Waits until the channel thread has acknowledged the stop by setting `stop` back to 0;
// it is woken by the acknowledgement and looks again at least every 100 ms.
void waitForAcknowledgement(ChannelRecord &record)
{
    pthread_mutex_lock(&record.mutex);
    while (record.stop != 0) {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += kStopPollMs * kNsPerMs;
        if (deadline.tv_nsec >= 1000 * kNsPerMs) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000 * kNsPerMs;
        }
        pthread_cond_timedwait(&record.stopChanged, &record.mutex, &deadline);
    }
    pthread_mutex_unlock(&record.mutex);
}

// A second stopChannel for a channel that is already being stopped returns once the
// first one has removed the channel.
void waitUntilUnregistered(int id)
{
    while (registry::findChannel(id))
        sleepMs(kStopPollMs);
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
    if (startChannelThread(record)) {
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
        requestStop(*record);
        waitForAcknowledgement(*record);
        registry::unregisterChannel(id);
    } else if (alreadyStopping) {
        waitUntilUnregistered(id);
    }
    *error = ERR_NONE;
}

} // namespace liblumo
