// The record one channel's threads share: the stop handshake with stopChannel, the host's
// callback, the listening server of a TCP channel, and what the channel's connections
// share: its devices and its event records.
#ifndef LIBLUMO_CHANNELS_CHANNELRECORD_H
#define LIBLUMO_CHANNELS_CHANNELRECORD_H

#include "exchange/DeviceTable.h"
#include "liblumo.h"
#include "exchange/EventRecordPool.h"
#include "transports/StopSignal.h"
#include "transports/TCPServer.h"

#include <pthread.h>

#include <atomic>

namespace liblumo {

struct ChannelRecord {
    ChannelRecord(int id, IChannelProfile *profile, EventCallback callback, void *user);
    ~ChannelRecord();
    ChannelRecord(const ChannelRecord &) = delete;
    ChannelRecord &operator=(const ChannelRecord &) = delete;

    // Stop handshake: stopChannel sets `stop` to 1, the channel thread sets it back to 0
    // when it ends. Both under `mutex`; `stopChanged` is signalled on each change so
    // neither side has to poll.
    int stop = 0;
    pthread_mutex_t mutex;
    pthread_cond_t stopChanged;

    int id;
    void *user;
    EventCallback callback;
    IChannelProfile *profile;
    com::TCPServer server;
    DeviceTable devices;
    EventRecordPool records;

    // Raised together with `stop`, readable without the mutex: ends the channel thread's
    // waits at once; the channel thread then closes every connection.
    com::StopSignal stopSignal;
    // Wakes the channel thread: raised by a stop and whenever one of its connections ends.
    com::StopSignal wakeUp;

    // False when the system gave no descriptor for the channel's signals: a stop could not
    // end its waits, so the channel is not started.
    bool signalsUsable() const
    {
        return stopSignal.descriptor() >= 0 && wakeUp.descriptor() >= 0;
    }

    // Guarded by the registry's mutex: a stopChannel is already waiting for this channel.
    bool stopping = false;

    // Raises an event to the host: callback(event, data, user, ERR_NONE).
    void raise(lumo_Event event, lumo_EventData *data) const;

    // Waits up to ms for a stop request; true when one is there. Used where the channel
    // thread idles, so it sleeps instead of spinning and still reacts at once.
    bool waitForStopRequest(int ms);

    // The host's side of the stop handshake: sets `stop` and wakes the channel thread...
    void requestStop();
    // ...then waits until the channel thread has set it back to 0. Woken by the
    // acknowledgement; looks again at least every 100 ms.
    void waitForStopAcknowledged();
};

} // namespace liblumo

#endif
