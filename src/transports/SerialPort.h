// The transport of a serial channel: a USB serial port at 115200 baud, 8N1.
//
// The port stays open from one exchange to the next (disconnect leaves it open). With
// the port name "AUTO" (in any letter case) every open first looks for the device's
// port by its USB serial number; any other name is used as the path, exactly as given.
// Reads and waits sleep in one wait on the port and the stop signal: they end when input
// arrives, the device goes, a stop is raised or the time-out passes. A port that is not
// open reads as a silent device: 0 after the time-out.
#ifndef LIBLUMO_TRANSPORTS_SERIALPORT_H
#define LIBLUMO_TRANSPORTS_SERIALPORT_H

#include "transports/ComAbstract.h"
#include "transports/ComPortDevice.h"

#include <QString>

#include <string>

namespace liblumo::com {

class SerialPort : public ComAbstract {
public:
    static constexpr unsigned kBaudRate = 115200;
    static constexpr int kDefaultReadTimeoutMs = 1000;

    SerialPort() = default;
    ~SerialPort() override;

    int write(const uint8_t *data, int size) override;
    int read(uint8_t *buffer, int size) override;
    bool setTimeout(int ms) override;
    bool open() override;
    bool close() override;
    bool isConnected() override;
    void discardInput() override;
    bool isDataAvailable() override;
    bool waitForInput(int timeoutMs) override;

    void setPortName(std::string name);

    // The system location of the first USB serial port whose serial number starts with a
    // known prefix, or empty text.
    QString retrievePortName();

private:
    // A read on a port that is not open: waits out the time-out (or a stop) for nothing.
    int readWhileClosed(int timeoutMs);

    ComPortDevice device;
    std::string portName;
    int readTimeout = -1;
};

} // namespace liblumo::com

#endif
