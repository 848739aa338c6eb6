#include "ChannelThread.h"

#include "ChannelRecord.h"
#include "Connection.h"
#include "ConnectionPool.h"
#include "helpers/Logging.h"
#include "transports/SerialPort.h"
#include "transports/TCPClient.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

namespace liblumo {

namespace {

constexpr int kSerialRetryMs = 2000; // between attempts to open a serial port
constexpr int kAcceptRetryMs = 200;  // after a connection could not be accepted
constexpr std::size_t kMaxPortDigits = 5;
constexpr uint32_t kAnyAddress = 0; // bind to every local IPv4 address

std::atomic<ThreadCreator> creator{&pthread_create};

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
    record.raise(EV_CHANNEL_STOPPED, nullptr);

    pthread_mutex_lock(&record.mutex);
    record.stop = 0;
    pthread_cond_broadcast(&record.stopChanged);
    pthread_mutex_unlock(&record.mutex);
    // The record may be gone from here on.
}

// Opens the serial port, retrying every 2 s until it opens or a stop is requested. Each
// opening is a new port object, so "AUTO" looks for the device again.
std::unique_ptr<com::SerialPort> openSerialPort(ChannelRecord &record)
{
    LUMO_INFO << "_threadChannel wait usb connection";
    const std::string name = record.profile->getPortName();
    for (;;) {
        auto port = std::make_unique<com::SerialPort>();
        // Paths are case-sensitive: only the discovery keyword is normalised.
        port->setPortName(isAutoPortName(name) ? std::string("AUTO") : name);
        if (port->open())
            return port;
        if (record.waitForStopRequest(kSerialRetryMs))
            return nullptr;
    }
}

// A connection that could not be accepted (the process is out of descriptors, say)
// leaves the listening socket readable: wait a little before the next attempt instead of
// spinning on it.
void pauseAfterFailedAccept(ChannelRecord &record)
{
    LUMO_DEBUG << "_threadChannel accept failed";
    record.waitForStopRequest(kAcceptRetryMs);
}

void startConnection(ChannelRecord &record, ConnectionPool &pool,
                     std::unique_ptr<com::ComAbstract> transport, Connection::Exchanges kind)
{
    const ConnectionServices services{record.devices, record.records, record.callback,
                                      record.user};
    pool.start(std::make_unique<Connection>(services, std::move(transport), kind));
}

// Accepts while below the pool's limit; otherwise waits until a connection ends (new
// devices wait in the listen backlog meanwhile) or the channel stops.
void serveTcpTurn(ChannelRecord &record, ConnectionPool &pool)
{
    if (!record.server.isListening()) {
        record.waitForStopRequest(com::socketapi::kWaitForever);
        return;
    }
    if (pool.full()) {
        record.wakeUp.wait(com::socketapi::kWaitForever);
        return;
    }
    if (!record.server.waitForConnection(com::socketapi::kWaitForever,
                                         record.wakeUp.descriptor()))
        return;
    std::unique_ptr<com::ComAbstract> client(record.server.takeConnection());
    if (!client) {
        pauseAfterFailedAccept(record);
        return;
    }
    startConnection(record, pool, std::move(client), Connection::Exchanges::One);
}

// One opening of the port at a time: while it is served the thread waits; once it ended
// (the port failed) the port is opened again, as a new connection.
void serveSerialTurn(ChannelRecord &record, ConnectionPool &pool)
{
    if (pool.full()) {
        record.wakeUp.wait(com::socketapi::kWaitForever);
        return;
    }
    if (auto port = openSerialPort(record))
        startConnection(record, pool, std::move(port), Connection::Exchanges::WhileOpen);
}

void serveTurn(ChannelRecord &record, ConnectionPool &pool)
{
    record.wakeUp.lower();
    pool.collectFinished();
    if (record.stopSignal.isRaised())
        return;
    switch (record.profile->getType()) {
    case kTcpChannel:
        serveTcpTurn(record, pool);
        break;
    case kSerialChannel:
        serveSerialTurn(record, pool);
        break;
    default:
        // An unknown kind of channel only waits for its stop.
        record.waitForStopRequest(com::socketapi::kWaitForever);
        break;
    }
}

// How many connections the channel serves at once: more than one only for a
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
    if (auto *listen = dynamic_cast<ListenTCPProfile *>(record.profile);
        listen && !record.server.setListenAddress(listen->getListenAddress())) {
        LUMO_CRITICAL << "_threadChannel not an address to listen on:"
                      << listen->getListenAddress().c_str();
        return false;
    }
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

void *_threadChannel(void *arg)
{
    auto &record = *static_cast<ChannelRecord *>(arg);
    record.raise(EV_CHANNEL_STARTED, nullptr);
    record.devices.clear();
    {
        ConnectionPool pool(std::size_t(connectionLimit(record.profile)), record.wakeUp);
        while (!stopPending(record))
            serveTurn(record, pool);
        // Every connection's last event comes before the channel's.
        pool.closeAll();
    }
    acknowledgeStop(record);
    return arg;
}

} // namespace liblumo
