#include "transports/SerialPort.h"

#include "helpers/Logging.h"
#include "liblumo.h"
#include "transports/SerialPortInfoProvider.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace liblumo::com {

namespace {

// The USB serial numbers of our devices begin with one of these, tested in this order.
const char *const kSerialNumberPrefixes[] = {"0310", "310", "0510", "510"};
const char *const kStarLine =
    "*********************************************************************************";

bool hasDeviceSerialNumber(const QString &serialNumber)
{
    for (const char *prefix : kSerialNumberPrefixes) {
        if (serialNumber.startsWith(QLatin1String(prefix), Qt::CaseSensitive))
            return true;
    }
    return false;
}

void logFoundPort(const SerialPortDescription &port)
{
    LUMO_INFO << kStarLine;
    LUMO_INFO << "SerialPort::retrievePortName Port:" << port.portName;
    LUMO_INFO << "SerialPort::retrievePortName Description:" << port.description;
    LUMO_INFO << "SerialPort::retrievePortName Manufacturer:" << port.manufacturer;
    LUMO_INFO << "SerialPort::retrievePortName Serial number:" << port.serialNumber;
    LUMO_INFO << "SerialPort::retrievePortName Vendor Identifier:" << port.vendorIdentifier;
    LUMO_INFO << "SerialPort::retrievePortName Product Identifier:" << port.productIdentifier;
    LUMO_INFO << kStarLine;
}

} // namespace

SerialPort::~SerialPort()
{
    device.closePort();
}

int SerialPort::write(const uint8_t *data, int size)
{
    // A stop ends a write the port stopped taking, instead of the 10 s stall allowance.
    const bool sent = size > 0 && device.writeData(data, size, stopDescriptor()) == 1;
    const int bytesWritten = sent ? size : 0;
    LUMO_DEBUG << "SerialPort::write bytesWritten:" << qint64(bytesWritten)
               << "buffer size:" << size;
    traceBuffer("TX BUFFER:", data, bytesWritten);
    return sent || size == 0 ? bytesWritten : -1;
}

int SerialPort::read(uint8_t *buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    if (stopRaised())
        return -1; // a stop: nothing more is read on this port
    const int timeoutMs = readTimeout == -1 ? kDefaultReadTimeoutMs : std::max(readTimeout, 0);
    const int got = device.readData(buffer, size, timeoutMs, stopDescriptor());
    if (got > 0) {
        traceBuffer("RX BUFFER:", buffer, got);
        return got;
    }
    switch (got) {
    case ComPortDevice::kReadFailed:
        LUMO_DEBUG << "SerialPort::read ERROR!!!";
        return -1;
    case ComPortDevice::kReadWoken:
        return -1;
    case ComPortDevice::kReadNotReady:
        return readWhileClosed(timeoutMs);
    default:
        // A silent device is no error; the default time-out (a handshake wait) says nothing.
        if (readTimeout != -1)
            LUMO_DEBUG << "SerialPort::read TIMEOUT";
        return 0;
    }
}

int SerialPort::readWhileClosed(int timeoutMs)
{
    if (stopSignal() == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return 0;
    }
    return stopSignal()->wait(timeoutMs) ? -1 : 0;
}

bool SerialPort::setTimeout(int ms)
{
    readTimeout = ms;
    return true;
}

bool SerialPort::open()
{
    close();
    std::string path = portName;
    if (isAutoPortName(portName)) {
        const QString found = retrievePortName();
        if (found.isEmpty())
            return false;
        path = found.toStdString();
    }
    if (path.empty() || device.openPort(path.c_str(), kBaudRate) != ComPortDevice::kOpened)
        return false;
    // Some adapters power the device from DTR; a pseudo-terminal has no lines at all.
    device.setDtrLine(true);
    device.setRtsLine(false);
    return true;
}

bool SerialPort::close()
{
    device.closePort();
    return true;
}

bool SerialPort::isConnected()
{
    return device.isPortAlive();
}

void SerialPort::discardInput()
{
    device.purgeInput();
}

bool SerialPort::isDataAvailable()
{
    return device.inputQueueLength() > 0;
}

void SerialPort::setPortName(std::string name)
{
    portName = std::move(name);
}

bool SerialPort::waitForInput(int timeoutMs)
{
    return device.waitForInput(timeoutMs, stopDescriptor());
}

QString SerialPort::retrievePortName()
{
    const QList<SerialPortDescription> ports = SerialPortInfoProvider::current()->availablePorts();
    for (const SerialPortDescription &port : ports) {
        if (!hasDeviceSerialNumber(port.serialNumber))
            continue;
        logFoundPort(port);
        return port.systemLocation;
    }
    return QString();
}

} // namespace liblumo::com
