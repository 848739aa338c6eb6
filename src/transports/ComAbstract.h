// The byte-stream transport through which the protocol talks to one device.
//
// Implementations: SerialPort (a USB serial port) and TCPClient (one TCP connection).
// A transport moves bytes only; it knows nothing of frames. One thread at a time.
#ifndef LIBLUMO_TRANSPORTS_COMABSTRACT_H
#define LIBLUMO_TRANSPORTS_COMABSTRACT_H

#include "transports/StopSignal.h"

#include <cstdint>
#include <string>

namespace liblumo::com {

class ComAbstract {
public:
    ComAbstract() = default;
    ComAbstract(const ComAbstract &) = delete;
    ComAbstract &operator=(const ComAbstract &) = delete;

    // Sends size bytes; returns the number passed to the link (size on success).
    virtual int write(const uint8_t *data, int size) = 0;
    // Waits until at least one byte arrived or the read time-out passed; stores up to
    // size bytes. Returns the count (> 0), 0 on time-out, -1 when the device failed.
    virtual int read(uint8_t *buffer, int size) = 0;
    // Read time-out for every later read; -1 selects the default of 1000 ms.
    virtual bool setTimeout(int ms) = 0;
    virtual bool setConnectTimeout(int ms) = 0;
    virtual bool open() = 0;
    virtual bool reopen() = 0;
    // Ends one exchange's use of the link (a TCP connection closes, a serial port stays).
    virtual bool disconnect() = 0;
    virtual bool close() = 0;
    virtual bool setBlocking(bool blocking);
    virtual bool isBlocking();
    virtual bool isConnected() = 0;
    // Drops received input that nobody has read yet.
    virtual void discardInput() = 0;
    // True when at least one received byte is waiting; consumes nothing.
    virtual bool isDataAvailable() = 0;
    virtual void setPortName(std::string name);
    // Waits up to timeoutMs for received input (or for the link to fail) without
    // consuming anything; true when input is waiting. Lets idle loops sleep instead of
    // spinning. The default only looks once.
    virtual bool waitForInput(int timeoutMs);

    virtual ~ComAbstract() = default;

    // A raised stop signal ends every wait of the transport at once: a read then fails
    // (-1) and a write gives up. Not owned; null: waits end only on their own terms.
    void setStopSignal(const StopSignal *signal) { stop = signal; }
    const StopSignal *stopSignal() const { return stop; }

    void setError(int code, int detail);
    int errorCode() const { return lastErrorCode; }
    int errorDetail() const { return lastErrorDetail; }

protected:
    // The debug trace of every buffer sent ("TX BUFFER:") or received ("RX BUFFER:").
    static void traceBuffer(const char *label, const uint8_t *data, int size);

    // The descriptor that wakes a wait when the stop signal is raised; -1 when none.
    int stopDescriptor() const { return stop ? stop->descriptor() : -1; }
    bool stopRaised() const { return stop && stop->isRaised(); }

    const StopSignal *stop = nullptr;
    int handle = -1; // socket of a TCP client; -1 when none
    bool blocking = false;
    int lastErrorDetail = 0;
    int lastErrorCode = 0;
};

} // namespace liblumo::com

#endif
