// What one exchange works with: one link (its protocol and transport), the channel's
// device table, the host's callback and the signal that ends the exchange. The channel
// builds one for every exchange; the exchange knows nothing of channels.
#ifndef LIBLUMO_EXCHANGE_EXCHANGECONTEXT_H
#define LIBLUMO_EXCHANGE_EXCHANGECONTEXT_H

#include "exchange/DeviceTable.h"
#include "liblumo.h"
#include "protocol/Protocol.h"
#include "transports/ComAbstract.h"
#include "transports/StopSignal.h"

#include <cstdint>
#include <memory>

namespace liblumo {

struct ExchangeContext {
    Protocol *protocol = nullptr;
    com::ComAbstract *transport = nullptr;
    DeviceTable *devices = nullptr;
    EventCallback callback = nullptr;
    void *user = nullptr;
    const com::StopSignal *stop = nullptr; // a stop, or the link taken over
    uint64_t link = 0;
    // The exchange's working event record, lent to the handshake's question and to a
    // transfer while nothing else uses it: records are 132140 bytes, and a channel with
    // many connections should not hold several per connection. Null: they make their own.
    lumo_EventData *record = nullptr;

    // The lent record, or a new one kept alive by `own` when none is lent.
    lumo_EventData &recordOrOwn(std::unique_ptr<lumo_EventData> &own) const
    {
        if (record != nullptr)
            return *record;
        own = std::make_unique<lumo_EventData>();
        return *own;
    }

    // callback(event, data, user, ERR_NONE).
    void raise(lumo_Event event, lumo_EventData *data) const
    {
        if (callback)
            callback(event, data, user, ERR_NONE);
    }
    bool stopRequested() const { return stop != nullptr && stop->isRaised(); }
};

} // namespace liblumo

#endif
