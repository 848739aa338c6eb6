#include "channels/Connection.h"

#include "channels/ChannelRecord.h"
#include "exchange/ExchangeThread.h"

#include <atomic>

namespace liblumo {

namespace {
constexpr int kInputWaitMs = 100; // a serial link looks at its state at least this often

std::atomic<uint64_t> lastConnectionId{0};
} // namespace

Connection::Connection(ChannelRecord &record, std::unique_ptr<com::ComAbstract> link,
                       Exchanges kind)
    : channel(record), exchanges(kind), transport(std::move(link))
{
    protocol.link().setStopSignal(&closeSignal);
    protocol.link().setTransport(transport.get());
    context.protocol = &protocol;
    context.devices = &record.devices;
    context.records = &record.records;
    context.callback = record.callback;
    context.user = record.user;
    context.stop = &closeSignal;
    context.connectionId = ++lastConnectionId;
}

Connection::~Connection()
{
    protocol.link().setTransport(nullptr);
    if (transport)
        transport->close();
}

void Connection::serve()
{
    LinkLayer &link = protocol.link();
    channel.devices.openLink(context.connectionId, &closeSignal, link.lastValidFrameClock());
    if (exchanges == Exchanges::One) {
        _threadExchange(&context);
    } else {
        while (!closeSignal.isRaised() && link.isConnected())
            if (link.waitForInput(kInputWaitMs))
                _threadExchange(&context);
    }
    channel.devices.closeLink(context.connectionId);
}

} // namespace liblumo
