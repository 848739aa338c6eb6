// The process-wide table of open channels behind LibLumo: hands out ids and owns one
// ChannelRecord per open channel. Records never move while they exist: the channel
// threads hold their addresses.
#ifndef LIBLUMO_CHANNELS_CHANNELREGISTRY_H
#define LIBLUMO_CHANNELS_CHANNELREGISTRY_H

#include "liblumo.h"

namespace liblumo {

struct ChannelRecord;

namespace registry {

// Called by the LibLumo constructor: ids restart at 1 when no channel is open.
void reset();
// Creates the record of a new channel and returns its id; *record receives its address.
int registerChannel(IChannelProfile *profile, EventCallback callback, void *user,
                    ChannelRecord **record);
// Erases the channel's record; a missing id is not an error.
void unregisterChannel(int id);
// The record, or null.
ChannelRecord *findChannel(int id);
// Marks the channel as being stopped. Returns the record for the first caller, null for
// a missing id; *alreadyStopping tells a later caller that someone else owns the stop.
ChannelRecord *claimStop(int id, bool *alreadyStopping);
// Number of open channels.
int channelCount();

} // namespace registry
} // namespace liblumo

#endif
