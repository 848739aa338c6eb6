// The channel thread: announces the channel, accepts its connections (TCP) or opens its
// port (serial), serves each as a Connection, and ends on the host's stop request.
#ifndef LIBLUMO_CHANNELS_CHANNELTHREAD_H
#define LIBLUMO_CHANNELS_CHANNELTHREAD_H

#include <pthread.h>

namespace liblumo {

struct ChannelRecord;

// Profile types.
constexpr int kSerialChannel = 1;
constexpr int kTcpChannel = 3;

// The thread body; takes the channel's record, returns it.
void *_threadChannel(void *record);

// A TCP channel starts listening on its port (true for other kinds); false, with a log
// line, when the port is no number from 1 to 65535 or cannot be listened on.
bool listenForDevices(ChannelRecord &record);

// How threads are created; replaceable so tests can make creation fail.
using ThreadCreator = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void setThreadCreator(ThreadCreator creator);
ThreadCreator threadCreator();

} // namespace liblumo

#endif
