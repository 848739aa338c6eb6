#include "ChannelThread.h"

#include "ChannelRecord.h"
#include "exchange/ExchangeThread.h"
#include "helpers/Logging.h"
#include "transports/SerialPort.h"
#include "transports/TCPClient.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdlib>

namespace liblumo {

namespace {

constexpr int kEventPassMs = 100;    // one pass of Qt event processing per turn
constexpr int kIdleWaitMs = 100;     // the longest an idle turn waits for something
constexpr int kSerialRetryMs = 2000; // between attempts to open a serial port
constexpr uint32_t kAnyAddress = 0;  // bind to every local IPv4 address

std::atomic<ThreadCreator> creator{&pthread_create};

void processPendingEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, kEventPassMs);
}

void releaseTransport(ChannelRecord &record)
{
    record.protocol.setTransport(nullptr);
    delete record.transport;
    record.transport = nullptr;
}

// Acknowledges a pending stop request. EV_CHANNEL_STOPPED is raised before the
// acknowledgement, so it is the channel's last event and has been delivered when
// stopChannel returns: the host may free its user data then.
bool acknowledgeStop(ChannelRecord &record)
{
    pthread_mutex_lock(&record.mutex);
    const bool requested = record.stop != 0;
    pthread_mutex_unlock(&record.mutex);
    if (!requested)
        return false;

    releaseTransport(record);
    record.raise(EV_CHANNEL_STOPPED, nullptr);

    pthread_mutex_lock(&record.mutex);
    record.stop = 0;
    pthread_cond_broadcast(&record.stopChanged);
    pthread_mutex_unlock(&record.mutex);
    // The record may be gone from here on.
    return true;
}

bool isAutoPortName(const std::string &name)
{
    return QString::fromStdString(name).compare(QLatin1String("AUTO"), Qt::CaseInsensitive) == 0;
}

// Opens the serial port, retrying every 2 s until it opens or a stop is requested.
bool waitUsbConnection(ChannelRecord &record)
{
    LUMO_INFO << "_threadChannel wait usb connection";
    while (!record.transport->open()) {
        if (record.waitForStopRequest(kSerialRetryMs))
            return false;
    }
    record.protocol.setTransport(record.transport);
    return true;
}

void prepareTcpChannel(ChannelRecord &record)
{
    LUMO_INFO << "_threadChannel wait TCP connection";
    const int port = std::atoi(record.profile->getServerPort().c_str());
    record.server.setPort(port);
    record.server.setAddress(kAnyAddress);
    // A server that cannot listen simply never hands out a connection.
    record.server.startListening();
}

void prepareSerialChannel(ChannelRecord &record)
{
    const std::string name = record.profile->getPortName();
    record.transport = new com::SerialPort;
    // Paths are case-sensitive: only the discovery keyword is normalised.
    record.transport->setPortName(isAutoPortName(name) ? std::string("AUTO") : name);
    waitUsbConnection(record);
}

void serveTcpTurn(ChannelRecord &record)
{
    if (!record.server.isListening()) {
        record.waitForStopRequest(kIdleWaitMs);
        return;
    }
    if (!record.server.waitForConnection(kIdleWaitMs))
        return;
    record.transport = record.server.takeConnection();
    if (!record.transport)
        return;
    ++record.link;
    record.protocol.setTransport(record.transport);
    runExchange(record);
    releaseTransport(record);
}

void serveSerialTurn(ChannelRecord &record)
{
    if (!record.transport)
        return;
    if (!record.protocol.isConnected() && !waitUsbConnection(record))
        return;
    if (record.transport->waitForInput(kIdleWaitMs))
        runExchange(record);
}

void serveTurn(ChannelRecord &record)
{
    switch (record.profile->getType()) {
    case kTcpChannel:
        serveTcpTurn(record);
        break;
    case kSerialChannel:
        serveSerialTurn(record);
        break;
    default:
        // An unknown kind of channel only waits for its stop.
        record.waitForStopRequest(kIdleWaitMs);
        break;
    }
}

void prepareChannel(ChannelRecord &record)
{
    switch (record.profile->getType()) {
    case kTcpChannel:
        prepareTcpChannel(record);
        break;
    case kSerialChannel:
        prepareSerialChannel(record);
        break;
    default:
        break;
    }
}

} // namespace

void setThreadCreator(ThreadCreator value)
{
    creator = value ? value : &pthread_create;
}

ThreadCreator threadCreator()
{
    return creator.load();
}

bool runExchange(ChannelRecord &record)
{
    pthread_t exchange;
    if (threadCreator()(&exchange, nullptr, &_threadExchange, &record) != 0)
        return false;
    pthread_join(exchange, nullptr);
    return true;
}

void *_threadChannel(void *arg)
{
    auto &record = *static_cast<ChannelRecord *>(arg);
    record.raise(EV_CHANNEL_STARTED, nullptr);
    record.devices.clear();
    prepareChannel(record);
    while (!acknowledgeStop(record)) {
        serveTurn(record);
        processPendingEvents();
    }
    return arg;
}

} // namespace liblumo
