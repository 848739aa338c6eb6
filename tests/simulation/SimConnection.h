// The one place where the simulation meets the library's entry point: how a channel sets up
// a connection (link number, device table, stop signal, protocol) and runs one exchange over
// it, here in the calling thread. Today a serial port is one link for the channel's life and
// a TCP connection a new one, as the channel thread does it.
#ifndef LIBLUMO_TESTS_SIMCONNECTION_H
#define LIBLUMO_TESTS_SIMCONNECTION_H

#include "exchange/ExchangeContext.h"
#include "exchange/ExchangeThread.h"

namespace liblumo::sim {

// What outlives a channel's connections.
struct SimChannel {
    DeviceTable devices;
    Protocol protocol;
    com::StopSignal stop;
    uint64_t lastLink = 0;
    bool serial = false;
};

inline void runConnection(SimChannel &channel, com::ComAbstract &transport, EventCallback callback,
                          void *user)
{
    const uint64_t link = channel.serial ? 1 : ++channel.lastLink;
    channel.protocol.setStopSignal(&channel.stop);
    channel.protocol.setTransport(&transport);
    ExchangeContext context;
    context.protocol = &channel.protocol;
    context.transport = &transport;
    context.devices = &channel.devices;
    context.callback = callback;
    context.user = user;
    context.stop = &channel.stop;
    context.link = link;
    channel.devices.openLink(link, nullptr);
    _threadExchange(&context);
    channel.devices.closeLink(link);
    channel.protocol.setTransport(nullptr);
}

} // namespace liblumo::sim

#endif
