// The transports on loopback sockets and pseudo-terminals (the test plays the device), and
// the discovery of the device's serial port on made-up port lists.
#include "LogCapture.h"
#include "liblumo.h"
#include "transports/SerialPort.h"
#include "transports/SerialPortInfoProvider.h"
#include "transports/StopSignal.h"
#include "transports/TCPClient.h"
#include "transports/TCPServer.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace liblumo::com;
using liblumo::test::LogCapture;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int kPatientMs = 5000; // bound for waits that normally end within milliseconds
constexpr auto nowMs = &TimeOut::nowMs;

// Port 0: a free TCP port on 127.0.0.1 (released before use); otherwise a plain blocking
// socket connected to 127.0.0.1:port. -1 on failure.
int loopbackSocket(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    auto *raw = reinterpret_cast<sockaddr *>(&address);
    if (port != 0 && ::connect(fd, raw, length) == 0)
        return fd;
    const bool bound =
        port == 0 && ::bind(fd, raw, length) == 0 && ::getsockname(fd, raw, &length) == 0;
    ::close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

bool writeAll(int fd, const Bytes &bytes) // small writes are taken whole
{
    return ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
}

// Reads count bytes; returns what arrived when the peer goes quiet for kPatientMs.
Bytes readExactly(int fd, std::size_t count)
{
    Bytes bytes(count);
    std::size_t got = 0;
    for (pollfd entry{fd, POLLIN, 0}; got < count && (::poll(&entry, 1, kPatientMs) > 0);) {
        const ssize_t done = ::read(fd, &bytes[got], count - got);
        if (done <= 0)
            break;
        got += std::size_t(done);
    }
    bytes.resize(got);
    return bytes;
}

enum class Fd { Socket, WithoutCloseOnExec, SendingWithoutDelay };

// How many of this process's descriptors are of the given kind.
int countDescriptors(Fd kind)
{
    int count = 0;
    for (int fd = 0, on = 0; fd < 1024; ++fd, on = 0) {
        struct stat info {};
        socklen_t length = sizeof on;
        const bool open = ::fstat(fd, &info) == 0;
        if (kind == Fd::Socket)
            count += open && S_ISSOCK(info.st_mode) ? 1 : 0;
        else if (kind == Fd::WithoutCloseOnExec)
            count += open && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC) ? 1 : 0;
        else
            count += ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on ? 1 : 0;
    }
    return count;
}

// A server on a free loopback port, a device connected to it and the accepted client.
class Tcp : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::signal(SIGPIPE, SIG_DFL); // a write to a gone peer must not end the process
        // Another program may take the probed port before the bind: try again.
        for (int attempt = 0; attempt < 5 && !server.isListening(); ++attempt) {
            server.setPort(loopbackSocket(0));
            server.setAddress(htonl(INADDR_LOOPBACK));
            server.startListening();
        }
        connectDevice();
    }
    void TearDown() override { dropDevice(false); }
    void connectDevice()
    {
        device = loopbackSocket(server.port());
        ASSERT_TRUE(device >= 0 && server.waitForConnection(kPatientMs));
        client.reset(server.takeConnection());
        ASSERT_NE(client, nullptr);
        client->setTimeout(kPatientMs);
    }
    void dropDevice(bool reset) // reset: the client sees a reset, not an orderly close
    {
        const linger immediate{1, 0};
        if (reset)
            ::setsockopt(device, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
        ::close(device);
        device = -1;
    }

    TCPServer server;
    std::unique_ptr<TCPClient> client;
    int device = -1;
    uint8_t buffer[8] = {};
};

struct FixedPorts : SerialPortInfoProvider {
    QList<SerialPortDescription> availablePorts() const override { return ports; }
    QList<SerialPortDescription> ports;
};

// A pseudo-terminal whose controlling side the test keeps to play the device, and a serial
// port open on it. Only the port opens the slave, so closing the port frees the terminal.
class SerialOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::close(slave);
        path = name;
        port.setPortName(path);
        ASSERT_TRUE(port.open());
        port.setTimeout(kPatientMs);
        SerialPortInfoProvider::install(offered); // the port list that discovery sees
    }
    void TearDown() override
    {
        ::close(master);
        SerialPortInfoProvider::install(nullptr);
    }
    Bytes readBytes(int count) // one read; what it returned
    {
        Bytes bytes(std::size_t(count) + 1);
        bytes.resize(std::size_t(std::max(port.read(bytes.data(), count), 0)));
        return bytes;
    }
    void expectWriteReaches(uint8_t value) // the port writes one byte, the device gets it
    {
        EXPECT_EQ(port.write(&value, 1), 1);
        EXPECT_EQ(readExactly(master, 1), Bytes{value});
    }

    int master = -1;
    std::string path;
    SerialPort port;
    uint8_t byte = 0;
    std::shared_ptr<FixedPorts> offered = std::make_shared<FixedPorts>();
};

// The descriptor of this process's socket whose peer is `peer`'s local end, or -1.
int socketConnectedTo(int peer)
{
    sockaddr_in wanted{}, found{};
    socklen_t length = sizeof wanted;
    ::getsockname(peer, reinterpret_cast<sockaddr *>(&wanted), &length);
    for (int fd = 0; fd < 1024; ++fd) {
        length = sizeof found;
        if (fd != peer && ::getpeername(fd, reinterpret_cast<sockaddr *>(&found), &length) == 0 &&
            found.sin_port == wanted.sin_port && found.sin_addr.s_addr == wanted.sin_addr.s_addr)
            return fd;
    }
    return -1;
}

int socketOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

SerialPortDescription usbPort(const QString &name, const QString &serialNumber)
{
    return {name, "/dev/" + name, "USB serial converter", "Maker", serialNumber, 0x0403, 0x6001};
}

} // namespace

TEST_F(Tcp, ServerHandsOutEachConnectionOnceAndRefusesBadOrTakenPorts)
{
    EXPECT_EQ(client->address(), "127.0.0.1");
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(device, reinterpret_cast<sockaddr *>(&local), &length);
    EXPECT_EQ(client->port(), ntohs(local.sin_port));
    // An accepted connection probes a silent peer and gives it up within about two minutes.
    const int accepted = socketConnectedTo(device);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(std::vector<int>({socketOption(accepted, SOL_SOCKET, SO_KEEPALIVE),
                                socketOption(accepted, IPPROTO_TCP, TCP_KEEPIDLE),
                                socketOption(accepted, IPPROTO_TCP, TCP_KEEPINTVL),
                                socketOption(accepted, IPPROTO_TCP, TCP_KEEPCNT),
                                socketOption(accepted, IPPROTO_TCP, TCP_USER_TIMEOUT)}),
              std::vector<int>({1, 60, 10, 6, 120000}));
    EXPECT_EQ(server.takeConnection(), nullptr); // nothing waiting: at once
    EXPECT_FALSE(server.acceptConnection());
    EXPECT_FALSE(server.waitForConnection(20));
    const int second = loopbackSocket(server.port());
    ASSERT_TRUE(server.waitForConnection(kPatientMs));
    ASSERT_TRUE(server.acceptConnection());
    EXPECT_TRUE(server.acceptConnection()); // a pending connection is kept, not replaced
    EXPECT_NE(std::unique_ptr<TCPClient>(server.takeConnection()), nullptr);
    ::close(second);

    for (int port : {0, -1, 65536, 70000}) {
        TCPServer bad;
        bad.setPort(port);
        EXPECT_FALSE(bad.startListening()) << port;
        EXPECT_EQ(bad.errorCode(), TCPServer::kErrorBadPort) << port;
    }
    const int sockets = countDescriptors(Fd::Socket);
    ASSERT_TRUE(server.startListening()); // again: replaces its socket
    TCPServer taken;
    taken.setPort(server.port());
    EXPECT_FALSE(taken.startListening());
    EXPECT_FALSE(taken.isListening());
    EXPECT_EQ(countDescriptors(Fd::Socket), sockets);
    EXPECT_TRUE(server.close());
    EXPECT_FALSE(server.isListening());
    EXPECT_EQ(countDescriptors(Fd::Socket), sockets - 1);
    EXPECT_FALSE(server.waitForConnection(kPatientMs)); // not listening: false at once
}

TEST_F(Tcp, ClientConnectsWithCloseOnExecAndNoSendDelayOrFailsHoldingNoSocket)
{
    const int inheritable = countDescriptors(Fd::WithoutCloseOnExec);
    const int undelayed = countDescriptors(Fd::SendingWithoutDelay);
    TCPClient outgoing;
    outgoing.setAddress("127.0.0.1");
    outgoing.setPort(server.port());
    ASSERT_TRUE(outgoing.open());
    ASSERT_TRUE(server.waitForConnection(kPatientMs));
    std::unique_ptr<TCPClient> accepted(server.takeConnection());
    EXPECT_EQ(countDescriptors(Fd::WithoutCloseOnExec), inheritable);
    EXPECT_EQ(countDescriptors(Fd::SendingWithoutDelay), undelayed + 2);
    ASSERT_EQ(outgoing.write(buffer, 2), 2);
    accepted->setTimeout(kPatientMs);
    EXPECT_EQ(accepted->read(buffer, 8), 2);
    outgoing.close();

    const int sockets = countDescriptors(Fd::Socket);
    outgoing.setPort(loopbackSocket(0)); // nobody listens there
    EXPECT_FALSE(outgoing.open());
    EXPECT_FALSE(outgoing.isConnected());
    outgoing.setConnectTimeout(150); // keeps trying until the time-out, then gives up
    const int64_t start = nowMs();
    EXPECT_FALSE(outgoing.open());
    EXPECT_GE(nowMs() - start, 140);
    outgoing.setAddress("300.1.2.3");
    EXPECT_FALSE(outgoing.open());
    outgoing.setAddress("127.0.0.1");
    outgoing.setPort(0);
    EXPECT_FALSE(outgoing.open());
    EXPECT_EQ(countDescriptors(Fd::Socket), sockets);
}

TEST_F(Tcp, BytesPassUnchangedAndTracedInUpperCaseHexAndPeekConsumesNothing)
{
    LogCapture log;
    const Bytes bytes = {0x02, 0x1F, 0xAB};
    ASSERT_EQ(client->write(bytes.data(), 3), 3);
    EXPECT_EQ(readExactly(device, 3), bytes);
    ASSERT_TRUE(writeAll(device, {0x01, 0x02, 0xFE}));
    ASSERT_TRUE(client->waitForInput(kPatientMs));
    EXPECT_TRUE(client->isDataAvailable());
    EXPECT_TRUE(client->isDataAvailable());
    ASSERT_EQ(client->read(buffer, 8), 3);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x01, 0x02, 0xFE, 0x00})); // nothing past them
    EXPECT_EQ(log.linesOf(QtDebugMsg),
              (QStringList{"TX BUFFER: \"021FAB\"", "RX BUFFER: \"0102FE\""}));
    EXPECT_FALSE(client->isDataAvailable());
    EXPECT_EQ(client->errorCode(), TCPClient::kErrorSocket);

    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeAll(device, {0x06});
    });
    EXPECT_EQ(client->read(buffer, 1), 1); // waits for bytes that arrive later
    sender.join();
    EXPECT_EQ(buffer[0], 0x06);
    for (int timeout : {200, -1}) { // nothing to read; -1: the default of one second
        client->setTimeout(timeout);
        const int64_t start = nowMs();
        EXPECT_EQ(client->read(buffer, 1), 0);
        EXPECT_GE(nowMs() - start, timeout < 0 ? 990 : 190);
    }
    EXPECT_TRUE(client->isConnected());

    Bytes block(4 * 1024 * 1024); // far more than the socket buffers hold: sent whole
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 7 + (i >> 9));
    std::thread reader([&] { EXPECT_TRUE(readExactly(device, block.size()) == block); });
    EXPECT_EQ(client->write(block.data(), int(block.size())), int(block.size()));
    reader.join();
}

// What waits unread (a repeated frame, the rest of an answer given up on) is dropped and
// traced; what the peer sends afterwards is read as usual.
TEST_F(Tcp, DiscardDropsWhatWaitsAndOnlyThat)
{
    LogCapture log;
    ASSERT_TRUE(writeAll(device, {0x06, 0x06, 0x15}));
    ASSERT_TRUE(client->waitForInput(kPatientMs));
    client->discardInput();
    EXPECT_FALSE(client->isDataAvailable());
    ASSERT_TRUE(writeAll(device, {0x02}));
    ASSERT_EQ(client->read(buffer, 8), 1);
    EXPECT_EQ(buffer[0], 0x02);
    EXPECT_EQ(log.linesOf(QtDebugMsg), (QStringList{"DISCARDED: \"060615\"", "RX BUFFER: \"02\""}));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(Tcp, DisconnectOrAPeerThatWentEndsTheConnectionBadArgumentsDoNot)
{
    EXPECT_EQ(client->read(nullptr, 4), 0);
    EXPECT_EQ(client->read(buffer, 0), 0);
    EXPECT_EQ(client->write(nullptr, 4), -1);
    EXPECT_EQ(client->write(buffer, -1), -1);
    EXPECT_TRUE(client->isConnected());
    buffer[0] = 0x15;
    EXPECT_EQ(client->write(buffer, 1), 1);
    EXPECT_EQ(readExactly(device, 1), Bytes{0x15});

    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        if (!reset) { // bytes sent before the close are still read
            ASSERT_TRUE(writeAll(device, {0x11, 0x22}));
            dropDevice(false);
            ASSERT_TRUE(client->waitForInput(kPatientMs));
            EXPECT_EQ(client->read(buffer, 8), 2);
            EXPECT_EQ(buffer[1], 0x22);
            EXPECT_TRUE(client->isConnected()); // the close itself has not been read yet
        }
        dropDevice(reset);
        const int64_t start = nowMs();
        EXPECT_EQ(client->read(buffer, 1), -1);
        EXPECT_FALSE(client->waitForInput(kPatientMs));
        EXPECT_FALSE(client->isDataAvailable());
        EXPECT_EQ(client->read(buffer, 1), -1);
        EXPECT_LT(nowMs() - start, kPatientMs); // nothing can come: no waiting
        EXPECT_FALSE(client->isConnected());
        EXPECT_EQ(client->errorCode(), TCPClient::kErrorSocket);
        connectDevice();

        // The first send after an orderly close is still taken; the peer answers it with
        // a reset, and every later send hits a broken pipe.
        dropDevice(reset);
        int last = 0;
        for (int attempt = 0; attempt < 5; ++attempt, ::usleep(10000))
            last = client->write(buffer, 2);
        EXPECT_EQ(last, -1);
        EXPECT_FALSE(client->isConnected());
        connectDevice();
    }

    EXPECT_TRUE(client->disconnect());
    EXPECT_EQ(client->write(buffer, 1), -1);
    EXPECT_EQ(client->read(buffer, 1), -1);
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->errorCode(), TCPClient::kErrorNoSocket);
    EXPECT_FALSE(client->waitForInput(10));
    EXPECT_EQ(::recv(device, buffer, 1, 0), 0); // the device sees the orderly close
    EXPECT_TRUE(client->close());               // closing twice is harmless
}

TEST_F(SerialOnPty, MovesEveryByteUnchangedAndTracesItStaysOpenUntilClosedOrTheDeviceGoes)
{
    // CR, LF, XON, XOFF, intr, quit, EOF, erase, kill, ESC, DEL, 0xFF, NUL: never altered.
    const Bytes awkward = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x1C, 0x04, 0x08,
                           0x15, 0x1B, 0x7F, 0xFF, 0x00, 0x0D, 0x0D, 0x0A};
    LogCapture log;
    EXPECT_EQ(port.write(awkward.data(), int(awkward.size())), 16);
    EXPECT_EQ(readExactly(master, awkward.size()), awkward);
    ASSERT_TRUE(writeAll(master, awkward));
    EXPECT_EQ(readBytes(16), awkward); // returns once the buffer is full
    EXPECT_EQ(log.linesOf(QtDebugMsg),
              (QStringList{"SerialPort::write bytesWritten: 16 buffer size: 16",
                           "TX BUFFER: \"0D0A1113031C0408151B7FFF000D0D0A\"",
                           "RX BUFFER: \"0D0A1113031C0408151B7FFF000D0D0A\""}));

    ASSERT_TRUE(writeAll(master, {0x55, 0x66}));
    ASSERT_TRUE(port.waitForInput(kPatientMs));
    EXPECT_TRUE(port.isDataAvailable()); // a peek consumes nothing
    EXPECT_TRUE(port.waitForInput(0));
    port.discardInput();
    EXPECT_FALSE(port.isDataAvailable());
    ASSERT_TRUE(writeAll(master, {0x77}));
    EXPECT_EQ(readBytes(4), Bytes{0x77}); // only what came after the discard

    EXPECT_TRUE(port.disconnect()); // leaves the port open
    EXPECT_TRUE(port.isConnected());
    expectWriteReaches(0x06);
    ASSERT_TRUE(port.open()); // open again closes first
    EXPECT_TRUE(port.open());
    ASSERT_TRUE(writeAll(master, {0x42}));
    EXPECT_EQ(readBytes(1), Bytes{0x42});
    EXPECT_TRUE(port.close());
    EXPECT_FALSE(port.isConnected());
    ASSERT_TRUE(port.open());
    expectWriteReaches(0x43);

    ::close(master); // the device has gone
    master = -1;
    EXPECT_FALSE(port.isConnected());
    EXPECT_FALSE(port.isDataAvailable());
    const int64_t start = nowMs();
    EXPECT_FALSE(port.waitForInput(kPatientMs)); // a hang-up ends the wait
    EXPECT_EQ(port.read(&byte, 1), -1);
    EXPECT_LT(nowMs() - start, kPatientMs);
    EXPECT_TRUE(log.linesOf(QtDebugMsg).contains(QStringLiteral("SerialPort::read ERROR!!!")));
    EXPECT_FALSE(port.open()); // the device is not there any more
}

TEST_F(SerialOnPty, ReadTimeOutReturnsZeroQuietlyButAStopEndsWaitsAtOnce)
{
    for (int timeout : {-1, 300}) { // -1: the default of one second, not logged
        LogCapture log;
        port.setTimeout(timeout);
        const int64_t start = nowMs();
        EXPECT_EQ(readBytes(1), Bytes{});
        EXPECT_GE(nowMs() - start, timeout < 0 ? 990 : 290);
        EXPECT_TRUE(log.linesOf(QtInfoMsg).isEmpty());
        EXPECT_EQ(log.count("SerialPort::read TIMEOUT"), timeout < 0 ? 0 : 1); // debug, once
    }
    // A silent device or a port that takes no more bytes (nobody reads the other side):
    // a stop ends the read, the wait and the write at once, not after 30 s or a 10 s stall.
    StopSignal stop;
    port.setStopSignal(&stop);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.raise();
    });
    port.setTimeout(30000);
    const int64_t start = nowMs();
    EXPECT_EQ(port.read(&byte, 1), -1);
    stopper.join();
    EXPECT_FALSE(port.waitForInput(30000));
    const Bytes flood(1 << 20, 0x55); // far more than a terminal buffers
    EXPECT_EQ(port.write(flood.data(), int(flood.size())), -1);
    EXPECT_LT(nowMs() - start, kPatientMs);
}

TEST_F(SerialOnPty, ClosedPortSendsNothingAndBadNamesAreRefusedButNamesUsedExactly)
{
    port.close();
    LogCapture log;
    uint8_t bytes[] = {1, 2, 3};
    port.setTimeout(300); // not open: the read waits out its time-out
    const int64_t start = nowMs();
    EXPECT_EQ(port.read(bytes, 1), 0);
    EXPECT_GE(nowMs() - start, 290);
    EXPECT_FALSE(port.isDataAvailable());
    EXPECT_FALSE(port.waitForInput(10));
    EXPECT_EQ(port.write(bytes, 3), -1);
    EXPECT_EQ(log.linesOf(QtDebugMsg),
              (QStringList{"SerialPort::write bytesWritten: 0 buffer size: 3", "TX BUFFER: \"\""}));
    for (const char *name : {"", "/dev/this-port-does-not-exist", "/dev/null"}) {
        port.setPortName(name);
        EXPECT_FALSE(port.open()) << name;
        EXPECT_FALSE(port.isConnected());
    }
    ComPortDevice device;
    EXPECT_EQ(device.openPort("/dev/this-port-does-not-exist", 115200),
              ComPortDevice::kErrorNotFound);
    EXPECT_EQ(device.openPort("/dev/null", 115200), ComPortDevice::kErrorSettingsUnread);
    EXPECT_EQ(device.openPort(path.c_str(), 12345), ComPortDevice::kErrorBadBaudRate);
    EXPECT_FALSE(device.isOpen());

    const int inheritable = countDescriptors(Fd::WithoutCloseOnExec);
    const std::string link = "/tmp/lumo-DeviceTty-" + std::to_string(::getpid());
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    port.setPortName("/tmp/lumo-devicetty-" + std::to_string(::getpid())); // case-sensitive
    EXPECT_FALSE(port.open());
    port.setPortName(link);
    EXPECT_TRUE(port.open());
    EXPECT_EQ(countDescriptors(Fd::WithoutCloseOnExec), inheritable);
    expectWriteReaches(0x5A);
    ::unlink(link.c_str());
}

TEST_F(SerialOnPty, DiscoveryTakesTheFirstPortWithAKnownSerialNumberOnlyForTheWordAuto)
{
    for (const char *number : {"0310A7F2", "310", "0510", "510XYZ"}) {
        offered->ports = {usbPort("ttyUSB3", number)};
        EXPECT_EQ(port.retrievePortName(), "/dev/ttyUSB3") << number;
    }
    for (const char *number : {"X0310", "00310", "0410ABCD", "31", "51", "", " 0310", "1310"}) {
        offered->ports = {usbPort("ttyUSB3", number)};
        EXPECT_EQ(port.retrievePortName(), QString()) << number;
    }
    LogCapture log;
    offered->ports = {usbPort("ttyUSB0", "A50310"), usbPort("ttyUSB1", "0510ZZ"),
                      usbPort("ttyUSB2", "0310AA")};
    EXPECT_EQ(port.retrievePortName(), "/dev/ttyUSB1");
    const QString stars(81, QLatin1Char('*')), prefix = "SerialPort::retrievePortName ";
    EXPECT_EQ(log.linesOf(QtInfoMsg),
              (QStringList{stars, prefix + "Port: \"ttyUSB1\"",
                           prefix + "Description: \"USB serial converter\"",
                           prefix + "Manufacturer: \"Maker\"", prefix + "Serial number: \"0510ZZ\"",
                           prefix + "Vendor Identifier: 1027", prefix + "Product Identifier: 24577",
                           stars}));

    for (const char *name : {"AUTO", "aUtO"})
        EXPECT_TRUE(liblumo::isAutoPortName(name)) << name;
    for (const char *name : {"AUTO1", "/dev/AUTO", ""})
        EXPECT_FALSE(liblumo::isAutoPortName(name)) << name;
    offered->ports = {usbPort("ttyUSB0", "9999"), usbPort("ttyS0", "")};
    port.setPortName("AUTO");
    EXPECT_FALSE(port.open()); // no matching port: fails silently
    offered->ports = {usbPort("ttyUSB0", "0310")};
    port.setPortName("/dev/this-port-does-not-exist"); // an explicit path never asks the list
    EXPECT_FALSE(port.open());
    EXPECT_EQ(log.lines().size(), 8); // nothing logged since the found port

    offered->ports = {usbPort("pty", "0310123")};
    offered->ports[0].systemLocation = QString::fromStdString(path);
    for (const char *name : {"AUTO", "auto", "Auto"}) {
        port.setPortName(name);
        ASSERT_TRUE(port.open()) << name;
        expectWriteReaches(0x7E);
    }
}

// A listen address, IPv6 included: the peer's address comes out in its own form, an IPv6
// socket leaves the IPv4 port of the same number free, and a text that is no address is
// refused before any socket is made.
TEST(TcpListenAddress, Ipv6LoopbackAcceptsWithThePeerAddressAndNonAddressesAreRefused)
{
    TCPServer server;
    for (const char *bad : {"", "localhost", "::1]", "[::1]", "127.0.0.256", "1.2.3"})
        EXPECT_FALSE(server.setListenAddress(bad)) << bad;
    ASSERT_TRUE(server.setListenAddress("::1"));
    const int port = loopbackSocket(0); // a free port number (the probe socket is closed)
    server.setPort(port);
    if (!server.startListening())
        GTEST_SKIP() << "no IPv6 loopback here (errno " << server.errorDetail() << ")";
    TCPServer ipv4;
    ipv4.setPort(port);
    ipv4.setAddress(htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(ipv4.startListening()) << "the IPv6 socket is IPv6 only";

    const int device = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(uint16_t(port));
    to.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::connect(device, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    ASSERT_TRUE(server.waitForConnection(kPatientMs));
    std::unique_ptr<TCPClient> client(server.takeConnection());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->address(), "::1");
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    ::getsockname(device, reinterpret_cast<sockaddr *>(&local), &length);
    EXPECT_EQ(client->port(), ntohs(local.sin6_port));
    ::close(device);

    TCPServer taken; // the same address and port again: refused with the system's reason
    ASSERT_TRUE(taken.setListenAddress("::1"));
    taken.setPort(port);
    EXPECT_FALSE(taken.startListening());
    EXPECT_EQ(taken.errorDetail(), EADDRINUSE);
}
