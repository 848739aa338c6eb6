// The exchange thread: serves every device behind one live connection until the
// connection is lost, the channel falls idle, or a stop is requested.
#ifndef LIBLUMO_EXCHANGE_EXCHANGETHREAD_H
#define LIBLUMO_EXCHANGE_EXCHANGETHREAD_H

namespace liblumo {

// Thread body; takes the channel's ChannelRecord, returns null.
void *_threadExchange(void *record);

} // namespace liblumo

#endif
