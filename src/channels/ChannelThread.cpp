#include "ChannelThread.h"

#include "ChannelRecord.h"
#include "ConnectionPool.h"
#include "exchange/ExchangeContext.h"
#include "exchange/ExchangeThread.h"
#include "helpers/Logging.h"
#include "transports/SerialPort.h"
#include "transports/TCPClient.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

namespace liblumo {

namespace {

constexpr int kEventPassMs = 100;    // one pass of Qt event processing per turn
constexpr int kIdleWaitMs = 100;     // the longest an idle turn waits for something
constexpr int kSerialRetryMs = 2000; // between attempts to open a serial port
constexpr int kAcceptRetryMs = 200;  // after a connection could not be accepted
constexpr std::size_t kMaxPortDigits = 5;
constexpr uint32_t kAnyAddress = 0; // bind to every local IPv4 address

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

bool stopPending(ChannelRecord &record)
{
    pthread_mutex_lock(&record.mutex);
    const bool requested = record.stop != 0;
    pthread_mutex_unlock(&record.mutex);
    return requested;
}

// Acknowledges the stop request. EV_CHANNEL_STOPPED is raised before the
// acknowledgement, so it is the channel's last event and has been delivered when
// stopChannel returns: the host may free its user data then.
void acknowledgeStop(ChannelRecord &record)
{
    releaseTransport(record);
    record.raise(EV_CHANNEL_STOPPED, nullptr);

    pthread_mutex_lock(&record.mutex);
    record.stop = 0;
    pthread_cond_broadcast(&record.stopChanged);
    pthread_mutex_unlock(&record.mutex);
    // The record may be gone from here on.
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

void prepareSerialChannel(ChannelRecord &record)
{
    const std::string name = record.profile->getPortName();
    auto *port = new com::SerialPort;
    // Paths are case-sensitive: only the discovery keyword is normalised.
    port->setPortName(isAutoPortName(name) ? std::string("AUTO") : name);
    record.transport = port;
    // The port is one link for the channel's whole life.
    record.link = 1;
    waitUsbConnection(record);
}

// A connection that could not be accepted (the process is out of descriptors, say)
// leaves the listening socket readable: wait a little before the next attempt instead of
// spinning on it.
void pauseAfterFailedAccept(ChannelRecord &record)
{
    LUMO_DEBUG << "_threadChannel accept failed";
    record.waitForStopRequest(kAcceptRetryMs);
}

void serveTcpTurn(ChannelRecord &record)
{
    if (!record.server.isListening()) {
        record.waitForStopRequest(com::socketapi::kWaitForever);
        return;
    }
    if (!record.server.waitForConnection(com::socketapi::kWaitForever,
                                         record.stopSignal.descriptor()))
        return;
    record.transport = record.server.takeConnection();
    if (!record.transport) {
        pauseAfterFailedAccept(record);
        return;
    }
    ++record.link;
    record.protocol.setTransport(record.transport);
    runExchange(record);
    releaseTransport(record);
}

// Several connections at once: accept while below the limit; otherwise wait until one
// ends (new devices wait in the listen backlog meanwhile) or the channel stops.
void serveFleetTurn(ChannelRecord &record, ConnectionPool &pool)
{
    record.attention.lower();
    pool.collectFinished();
    if (record.stopSignal.isRaised())
        return;
    if (pool.full()) {
        record.attention.wait(com::socketapi::kWaitForever);
        return;
    }
    if (!record.server.waitForConnection(com::socketapi::kWaitForever,
                                         record.attention.descriptor()))
        return;
    std::unique_ptr<com::ComAbstract> client(record.server.takeConnection());
    if (!client) {
        pauseAfterFailedAccept(record);
        return;
    }
    pool.start(std::move(client), ++record.link);
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

void serveTurn(ChannelRecord &record, ConnectionPool *pool)
{
    switch (record.profile->getType()) {
    case kTcpChannel:
        if (pool)
            serveFleetTurn(record, *pool);
        else
            serveTcpTurn(record);
        break;
    case kSerialChannel:
        serveSerialTurn(record);
        break;
    default:
        // An unknown kind of channel only waits for its stop.
        record.waitForStopRequest(com::socketapi::kWaitForever);
        break;
    }
}

// How many connections a TCP channel serves at once: more than one only for a
// FleetTCPProfile with a larger limit.
int connectionLimit(IChannelProfile *profile)
{
    auto *fleet = dynamic_cast<FleetTCPProfile *>(profile);
    return fleet ? fleet->getMaxConnections() : 1;
}

// The whole text must be a decimal port number: "50x0" is no port, not port 50.
bool parsePort(const std::string &text, int &port)
{
    if (text.empty() || text.size() > kMaxPortDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    port = std::stoi(text);
    return com::socketapi::isUsablePort(port);
}

} // namespace

bool listenForDevices(ChannelRecord &record)
{
    if (record.profile->getType() != kTcpChannel)
        return true;
    const std::string text = record.profile->getServerPort();
    int port = 0;
    if (!parsePort(text, port)) {
        LUMO_CRITICAL << "_threadChannel not a TCP port:" << text.c_str();
        return false;
    }
    record.server.setPort(port);
    record.server.setAddress(kAnyAddress);
    record.server.setBacklog(connectionLimit(record.profile));
    if (!record.server.startListening()) {
        LUMO_CRITICAL << "_threadChannel cannot listen on TCP port" << port
                      << "errno:" << record.server.errorDetail();
        return false;
    }
    LUMO_INFO << "_threadChannel wait TCP connection";
    return true;
}

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
    ExchangeContext context;
    context.protocol = &record.protocol;
    context.transport = record.transport;
    context.devices = &record.devices;
    context.callback = record.callback;
    context.user = record.user;
    context.stop = &record.stopSignal;
    context.link = record.link;
    record.devices.openLink(record.link, nullptr);
    pthread_t exchange;
    const bool started = threadCreator()(&exchange, nullptr, &_threadExchange, &context) == 0;
    if (started)
        pthread_join(exchange, nullptr);
    record.devices.closeLink(record.link);
    return started;
}

void *_threadChannel(void *arg)
{
    auto &record = *static_cast<ChannelRecord *>(arg);
    record.raise(EV_CHANNEL_STARTED, nullptr);
    record.devices.clear();
    if (record.profile->getType() == kSerialChannel)
        prepareSerialChannel(record);
    std::unique_ptr<ConnectionPool> pool;
    const int limit = connectionLimit(record.profile);
    if (record.profile->getType() == kTcpChannel && limit > 1)
        pool = std::make_unique<ConnectionPool>(record, std::size_t(limit));
    while (!stopPending(record)) {
        serveTurn(record, pool.get());
        processPendingEvents();
    }
    // Every connection's last event comes before the channel's.
    if (pool)
        pool->closeAll();
    acknowledgeStop(record);
    return arg;
}

} // namespace liblumo
