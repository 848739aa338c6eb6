// The byte-stream transport through which the protocol talks to one device.
//
// Implementations: SerialPort (a USB serial port) and TCPClient (one TCP connection).
// A transport moves bytes only; it knows nothing of frames. One thread at a time.
// Operations that only one kind of link has (a port name, a connect time-out, socket
// errors) live on the concrete class.
//
// Results: a count or true on success; -1 (or false) on failure. A failure is a link
// that cannot carry bytes any more (the device or peer has gone, the port is not open
// for a write), a raised stop signal, or nothing at all taken by a write. A read whose
// time-out passes without data returns 0: that is no failure.
#ifndef LIBLUMO_TRANSPORTS_COMABSTRACT_H
#define LIBLUMO_TRANSPORTS_COMABSTRACT_H

#include "transports/StopSignal.h"

#include <cstdint>

namespace liblumo::com {

class ComAbstract {
public:
    ComAbstract() = default;
    ComAbstract(const ComAbstract &) = delete;
    ComAbstract &operator=(const ComAbstract &) = delete;
    virtual ~ComAbstract() = default;

    // Sends size bytes; returns how many the link took (size on success), -1 on failure.
    virtual int write(const uint8_t *data, int size) = 0;
    // Waits until at least one byte arrived or the read time-out passed; stores up to
    // size bytes. Returns the count (> 0), 0 on time-out, -1 on failure.
    virtual int read(uint8_t *buffer, int size) = 0;
    // Read time-out for every later read; -1 selects the default of 1000 ms.
    virtual bool setTimeout(int ms) = 0;
    virtual bool open() = 0;
    // Ends one exchange's use of the link: a TCP connection closes, a serial port stays
    // open for the next exchange (the default does nothing).
    virtual bool disconnect() { return true; }
    virtual bool close() = 0;
    virtual bool isConnected() = 0;
    // Drops received input that nobody has read yet.
    virtual void discardInput() = 0;
    // True when at least one received byte is waiting; consumes nothing.
    virtual bool isDataAvailable() = 0;
    // Waits up to timeoutMs for received input (or for the link to fail, or a stop)
    // without consuming anything; true when input is waiting. Lets idle loops sleep
    // instead of spinning. The default only looks once.
    virtual bool waitForInput(int /*timeoutMs*/) { return isDataAvailable(); }

    // A raised stop signal ends every wait of the transport at once: a read then fails
    // (-1) and a write gives up. Not owned; null: waits end only on their own terms.
    void setStopSignal(const StopSignal *signal) { stop = signal; }
    const StopSignal *stopSignal() const { return stop; }

protected:
    // The debug trace of every buffer sent ("TX BUFFER:") or received ("RX BUFFER:").
    static void traceBuffer(const char *label, const uint8_t *data, int size);

    // The descriptor that wakes a wait when the stop signal is raised; -1 when none.
    int stopDescriptor() const { return stop ? stop->descriptor() : -1; }
    bool stopRaised() const { return stop && stop->isRaised(); }

private:
    const StopSignal *stop = nullptr;
};

} // namespace liblumo::com

#endif
