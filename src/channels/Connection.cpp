#include "channels/Connection.h"

#include "exchange/ExchangeThread.h"

#include <atomic>

namespace liblumo {

namespace {
constexpr int kInputWaitMs = 100; // a serial link looks at its state at least this often

std::atomic<uint64_t> lastConnectionId{0};
} // namespace

Connection::Connection(const ConnectionServices &services,
                       std::unique_ptr<com::ComAbstract> link, Exchanges kind)
    : channel(services), exchanges(kind), transport(std::move(link))
{
    protocol.link().setStopSignal(&closeSignal);
    protocol.link().setTransport(transport.get());
    context.protocol = &protocol;
    context.devices = &services.devices;
    context.records = &services.records;
    context.callback = services.callback;
    context.user = services.user;
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
