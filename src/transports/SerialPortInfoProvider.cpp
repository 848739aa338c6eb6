#include "transports/SerialPortInfoProvider.h"

#include <QSerialPortInfo>

#include <mutex>

namespace liblumo::com {

namespace {

std::mutex &providerMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const SerialPortInfoProvider> &installedProvider()
{
    static std::shared_ptr<const SerialPortInfoProvider> provider;
    return provider;
}

std::shared_ptr<const SerialPortInfoProvider> systemProvider()
{
    static const auto provider = std::make_shared<const SystemSerialPortInfoProvider>();
    return provider;
}

} // namespace

std::shared_ptr<const SerialPortInfoProvider> SerialPortInfoProvider::current()
{
    std::lock_guard<std::mutex> lock(providerMutex());
    const auto &installed = installedProvider();
    return installed ? installed : systemProvider();
}

void SerialPortInfoProvider::install(std::shared_ptr<const SerialPortInfoProvider> provider)
{
    std::lock_guard<std::mutex> lock(providerMutex());
    installedProvider() = std::move(provider);
}

QList<SerialPortDescription> SystemSerialPortInfoProvider::availablePorts() const
{
    QList<SerialPortDescription> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos) {
        SerialPortDescription port;
        port.portName = info.portName();
        port.systemLocation = info.systemLocation();
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        port.vendorIdentifier = info.vendorIdentifier();
        port.productIdentifier = info.productIdentifier();
        ports.append(port);
    }
    return ports;
}

} // namespace liblumo::com
