// The communication port under a SerialPort: opens and configures the device, moves
// bytes, drops stale input, drives the DTR and RTS lines and tells whether the device is
// still there. Only this class talks to the operating system's serial-port functions.
#ifndef LIBLUMO_TRANSPORTS_COMPORTDEVICE_H
#define LIBLUMO_TRANSPORTS_COMPORTDEVICE_H

#include <cstdint>

namespace liblumo::com {

class ComPortDevice {
public:
    // Results of openPort.
    static constexpr int kOpened = 1;
    static constexpr int kErrorNotFound = -1;        // no device at that path
    static constexpr int kErrorNotOpenable = -2;     // exists but cannot be opened (busy, rights)
    static constexpr int kErrorSettingsUnread = -3;  // not a serial device, or settings unreadable
    static constexpr int kErrorBadBaudRate = -4;     // not one of the supported rates
    static constexpr int kErrorSettingsRefused = -5; // line settings not accepted
    static constexpr int kErrorTimeoutsRefused = -6; // read/write behaviour not accepted
    // Results of readData besides the byte count.
    static constexpr int kReadNotReady = -1; // the port is not open
    static constexpr int kReadFailed = -2;   // the device failed or has gone
    static constexpr int kReadWoken = -3;    // the wake descriptor became readable
    // A write that cannot hand a single byte to the driver for this long has failed.
    static constexpr int kWriteStallMs = 10000;

    ComPortDevice() = default;
    ComPortDevice(const ComPortDevice &) = delete;
    ComPortDevice &operator=(const ComPortDevice &) = delete;
    ~ComPortDevice();

    // Opens path exclusively in raw mode with 8 data bits, no parity and one stop bit.
    // Returns kOpened or one of the errors above; on an error no port is held.
    int openPort(const char *path, unsigned baudRate);
    void closePort();
    bool isOpen() const { return portHandle >= 0; }
    // Writes all count bytes; 1 once the driver has taken them, -1 otherwise (also when
    // the wake descriptor, if any, becomes readable while the port takes no more).
    int writeData(const uint8_t *data, int count, int wakeFd = -1);
    // Waits in one wait up to timeoutMs for input (or for the wake descriptor, if any),
    // then reads what is waiting, up to count bytes. Returns that count, 0 when the time
    // passed without input, or kReadNotReady, kReadFailed or kReadWoken.
    int readData(uint8_t *buffer, int count, int timeoutMs, int wakeFd = -1);
    // Drops everything received and not yet read.
    void purgeInput();
    // Bytes received and waiting; 0 when the queue cannot be read.
    int inputQueueLength();
    bool setDtrLine(bool on);
    bool setRtsLine(bool on);
    // True while the port is open and the device has not gone (unplugged, other side of
    // a pseudo-terminal closed).
    bool isPortAlive();
    // Waits up to timeoutMs for received input without consuming it; false on time-out,
    // when the device has gone or when the wake descriptor (if any) became readable.
    bool waitForInput(int timeoutMs, int wakeFd = -1);

private:
    // The platform's handle of the open port; the same type holds a descriptor or a
    // handle value, and -1 means none on both.
    intptr_t portHandle = -1;
};

} // namespace liblumo::com

#endif
