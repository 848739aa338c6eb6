#include "ChannelRecord.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace liblumo {

namespace {
constexpr long kNsPerMs = 1000000;
constexpr long kNsPerSecond = 1000000000;
constexpr int kStopPollMs = 100; // the longest a stop waits between two looks

timespec deadlineAfter(int ms)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += long(ms % 1000) * kNsPerMs;
    if (ts.tv_nsec >= kNsPerSecond) {
        ts.tv_sec += 1;
        ts.tv_nsec -= kNsPerSecond;
    }
    return ts;
}
} // namespace

ChannelRecord::ChannelRecord(int channelId, IChannelProfile *channelProfile,
                             EventCallback channelCallback, void *channelUser)
    : id(channelId), user(channelUser), callback(channelCallback), profile(channelProfile)
{
    pthread_mutex_init(&mutex, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&stopChanged, &attributes);
    pthread_condattr_destroy(&attributes);
}

ChannelRecord::~ChannelRecord()
{
    pthread_cond_destroy(&stopChanged);
    pthread_mutex_destroy(&mutex);
}

void ChannelRecord::raise(lumo_Event event, lumo_EventData *data) const
{
    if (callback)
        callback(event, data, user, ERR_NONE);
}

bool ChannelRecord::waitForStopRequest(int ms)
{
    return stopSignal.wait(ms);
}

void ChannelRecord::requestStop()
{
    pthread_mutex_lock(&mutex);
    stop = 1;
    stopSignal.raise();
    wakeUp.raise();
    pthread_cond_broadcast(&stopChanged);
    pthread_mutex_unlock(&mutex);
}

void ChannelRecord::waitForStopAcknowledged()
{
    pthread_mutex_lock(&mutex);
    while (stop != 0) {
        const timespec deadline = deadlineAfter(kStopPollMs);
        pthread_cond_timedwait(&stopChanged, &mutex, &deadline);
    }
    pthread_mutex_unlock(&mutex);
}

} // namespace liblumo
