#include "ExchangeThread.h"

#include "channels/ChannelRecord.h"

namespace liblumo {

// Placeholder until the exchange engine lands: ends the connection at once.
void *_threadExchange(void *arg)
{
    auto &record = *static_cast<ChannelRecord *>(arg);
    if (record.transport)
        record.transport->disconnect();
    return nullptr;
}

} // namespace liblumo
