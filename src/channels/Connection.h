// One link to the devices: a TCP connection, or one opening of a serial port. Each has
// its own id (never reused in the process), close signal, link layer and device
// commands; the devices that handshake on it are served over it alone, so nothing meant
// for a device reached over an earlier link goes out over a later one.
//
// A TCP connection runs one exchange and ends. A serial port's opening runs an exchange
// whenever input arrives, until the port fails or the connection is closed; the next
// opening is a new connection.
#ifndef LIBLUMO_CHANNELS_CONNECTION_H
#define LIBLUMO_CHANNELS_CONNECTION_H

#include "exchange/ExchangeContext.h"
#include "protocol/Protocol.h"
#include "transports/ComAbstract.h"
#include "transports/StopSignal.h"

#include <cstdint>
#include <memory>

namespace liblumo {

// What a channel lends each of its connections.
struct ConnectionServices {
    DeviceTable &devices;
    EventRecordPool &records;
    EventCallback callback;
    void *user;
};

class Connection {
public:
    enum class Exchanges {
        One,       // one exchange, started at once (a TCP connection)
        WhileOpen, // one whenever input arrives, while the link lasts (a serial port)
    };

    // Takes the next connection id.
    Connection(const ConnectionServices &channel, std::unique_ptr<com::ComAbstract> transport,
               Exchanges exchanges);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // False when the system gave no close signal: such a connection could not be stopped
    // at once, so it is not served.
    bool usable() const { return closeSignal.descriptor() >= 0; }
    uint64_t id() const { return context.connectionId; }

    // Serves the devices behind the link until it ends, on the calling thread (the pool
    // calls it on the connection's own thread).
    void serve();
    // Ends every wait of the connection at once; safe from any thread.
    void close() { closeSignal.raise(); }

private:
    ConnectionServices channel;
    const Exchanges exchanges;
    com::StopSignal closeSignal; // a stop of the channel, or its device taken over
    std::unique_ptr<com::ComAbstract> transport;
    Protocol protocol;
    ExchangeContext context;
};

} // namespace liblumo

#endif
