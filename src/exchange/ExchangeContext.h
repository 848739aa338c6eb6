// What one exchange works with: the device commands and link layer of one connection,
// the channel's device table and event records, the host's callback and the signal that
// ends the exchange. The connection builds it; the exchange knows nothing of channels or
// transports.
#ifndef LIBLUMO_EXCHANGE_EXCHANGECONTEXT_H
#define LIBLUMO_EXCHANGE_EXCHANGECONTEXT_H

#include "exchange/DeviceTable.h"
#include "exchange/EventRecordPool.h"
#include "liblumo.h"
#include "protocol/Protocol.h"
#include "transports/StopSignal.h"

#include <cstdint>

namespace liblumo {

struct ExchangeContext {
    Protocol *protocol = nullptr;
    DeviceTable *devices = nullptr;
    EventRecordPool *records = nullptr;
    EventCallback callback = nullptr;
    void *user = nullptr;
    const com::StopSignal *stop = nullptr; // a stop, or the connection closed
    uint64_t connectionId = 0;

    LinkLayer &link() const { return protocol->link(); }
    // callback(event, data, user, ERR_NONE); inside it, currentConnectionId() names this
    // connection.
    void raise(lumo_Event event, lumo_EventData *data) const;
    bool stopRequested() const { return stop != nullptr && stop->isRaised(); }
};

// The connection whose event the calling thread is raising; 0 outside such a call.
uint64_t connectionRaising();

} // namespace liblumo

#endif
