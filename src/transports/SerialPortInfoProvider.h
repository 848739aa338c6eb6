// Where SerialPort learns which serial ports the system has, for the "AUTO" port name.
//
// The default provider asks Qt's serial-port enumeration. A different provider can be
// installed process-wide (tests hand in made-up port lists); installing null restores
// the default.
#ifndef LIBLUMO_TRANSPORTS_SERIALPORTINFOPROVIDER_H
#define LIBLUMO_TRANSPORTS_SERIALPORTINFOPROVIDER_H

#include <QList>
#include <QString>

#include <memory>

namespace liblumo::com {

// What the discovery needs to know of one serial port.
struct SerialPortDescription {
    QString portName;       // short name, e.g. ttyUSB0
    QString systemLocation; // the path by which the system opens it
    QString description;
    QString manufacturer;
    QString serialNumber; // USB serial number; empty when there is none
    quint16 vendorIdentifier = 0;
    quint16 productIdentifier = 0;
};

class SerialPortInfoProvider {
public:
    SerialPortInfoProvider() = default;
    SerialPortInfoProvider(const SerialPortInfoProvider &) = delete;
    SerialPortInfoProvider &operator=(const SerialPortInfoProvider &) = delete;
    virtual ~SerialPortInfoProvider() = default;

    // The serial ports present now, in the system's order.
    virtual QList<SerialPortDescription> availablePorts() const = 0;

    // The provider in use; never null. Safe to call from any thread.
    static std::shared_ptr<const SerialPortInfoProvider> current();
    // Installs provider for every later discovery; null restores the default.
    static void install(std::shared_ptr<const SerialPortInfoProvider> provider);
};

// The default: the system's ports as Qt's serial-port enumeration reports them.
class SystemSerialPortInfoProvider : public SerialPortInfoProvider {
public:
    QList<SerialPortDescription> availablePorts() const override;
};

} // namespace liblumo::com

#endif
