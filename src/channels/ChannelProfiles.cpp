#include "liblumo.h"

#include "ChannelThread.h"

#include <algorithm>
#include <utility>

namespace liblumo {

IChannelProfile::~IChannelProfile() = default;
void IChannelProfile::setPortName(std::string) {}
std::string IChannelProfile::getPortName()
{
    return {};
}
void IChannelProfile::setServerPort(std::string) {}
std::string IChannelProfile::getServerPort()
{
    return {};
}

SerialProfile::SerialProfile() = default;
SerialProfile::~SerialProfile() = default;
int SerialProfile::getType()
{
    return kSerialChannel;
}
void SerialProfile::setPortName(std::string name)
{
    portName = std::move(name);
}
std::string SerialProfile::getPortName()
{
    return portName;
}

TCPProfile::TCPProfile() = default;
TCPProfile::~TCPProfile() = default;
int TCPProfile::getType()
{
    return kTcpChannel;
}
void TCPProfile::setServerPort(std::string port)
{
    serverPort = std::move(port);
}
std::string TCPProfile::getServerPort()
{
    return serverPort;
}

FleetTCPProfile::FleetTCPProfile() = default;
FleetTCPProfile::~FleetTCPProfile() = default;
void FleetTCPProfile::setMaxConnections(int n)
{
    maxConnections = std::max(n, 1);
}
int FleetTCPProfile::getMaxConnections()
{
    return maxConnections;
}

ListenTCPProfile::ListenTCPProfile() = default;
ListenTCPProfile::~ListenTCPProfile() = default;
void ListenTCPProfile::setListenAddress(std::string address)
{
    listenAddress = std::move(address);
}
std::string ListenTCPProfile::getListenAddress()
{
    return listenAddress;
}

} // namespace liblumo
