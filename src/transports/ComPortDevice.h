// The serial device layer: the operating system's serial port calls behind a small API.
#ifndef LIBLUMO_TRANSPORTS_COMPORTDEVICE_H
#define LIBLUMO_TRANSPORTS_COMPORTDEVICE_H

#include <cstdint>

namespace liblumo::com {

class ComPortDevice {
public:
    ComPortDevice() = default;
    ~ComPortDevice();
    ComPortDevice(const ComPortDevice &) = delete;
    ComPortDevice &operator=(const ComPortDevice &) = delete;

    int openPort(const char *path, unsigned baud);
    void closePort();
    int writeData(const uint8_t *data, int count);
    int readData(uint8_t *buffer, int count, int timeoutMs);
    void purgeInput();
    int inputQueueLength();
    bool setDtrLine(bool on);
    bool setRtsLine(bool on);
    bool isPortAlive();

private:
    int portHandle = -1;
};

} // namespace liblumo::com

#endif
