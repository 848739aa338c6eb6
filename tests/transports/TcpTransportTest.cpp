// The TCP server and client on real loopback sockets.
#include "TransportTestSupport.h"

#include "transports/TCPClient.h"
#include "transports/TCPServer.h"

#include <QLoggingCategory>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <thread>
#include <unistd.h>

using liblumo::com::TCPClient;
using liblumo::com::TCPServer;
using namespace transport_test;

namespace {

// A listening server on a free loopback port and a device socket connected to it.
class TcpConnection : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A write to a peer that has gone must never end the process: leave SIGPIPE at
        // its default action, which would.
        std::signal(SIGPIPE, SIG_DFL);
        ASSERT_TRUE(listenOnFreePort(server));
        device = connectLoopback(server.port());
        ASSERT_GE(device, 0);
        ASSERT_TRUE(server.waitForConnection(kPatientMs));
        client.reset(server.takeConnection());
        ASSERT_NE(client, nullptr);
    }

    void TearDown() override
    {
        if (device >= 0)
            ::close(device);
    }

    static bool listenOnFreePort(TCPServer &target)
    {
        // Another program may grab the port between the probe and the bind: try again.
        for (int attempt = 0; attempt < 5; ++attempt) {
            target.setPort(freeLoopbackPort());
            target.setAddress(htonl(INADDR_LOOPBACK));
            if (target.startListening())
                return true;
        }
        return false;
    }

    // Waits until the client has seen the device's bytes.
    void awaitInput() { ASSERT_TRUE(client->waitForInput(kPatientMs)); }

    TCPServer server;
    std::unique_ptr<TCPClient> client;
    int device = -1;
};

using TcpServer = TcpConnection;

} // namespace

TEST_F(TcpServer, HandsOutTheDevicesAddressAndPortOnceThenNull)
{
    EXPECT_EQ(client->address(), "127.0.0.1");
    EXPECT_EQ(client->port(), localPort(device));
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(server.takeConnection(), nullptr);

    const int second = connectLoopback(server.port());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(server.hasConnection());
    std::unique_ptr<TCPClient> next(server.takeConnection());
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->port(), localPort(second));
    ::close(second);
}

TEST_F(TcpServer, TakeConnectionWithNothingWaitingReturnsAtOnce)
{
    const int64_t start = nowMs();
    EXPECT_EQ(server.takeConnection(), nullptr);
    EXPECT_FALSE(server.hasConnection());
    EXPECT_LT(nowMs() - start, kPatientMs);
    EXPECT_FALSE(server.waitForConnection(20));
}

TEST_F(TcpServer, PendingConnectionIsKeptUntilTaken)
{
    const int second = connectLoopback(server.port());
    ASSERT_GE(second, 0);
    ASSERT_TRUE(server.waitForConnection(kPatientMs));
    ASSERT_TRUE(server.acceptConnection());
    // Accepting again while one is pending must not replace (and lose) it.
    EXPECT_TRUE(server.acceptConnection());
    std::unique_ptr<TCPClient> taken(server.takeConnection());
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->port(), localPort(second));
    ::close(second);
}

TEST(TcpServerSetup, RejectsPortsThatCannotBeListenedOn)
{
    for (int port : {0, -1, 65536, 70000}) {
        TCPServer server;
        server.setPort(port);
        EXPECT_FALSE(server.startListening()) << port;
        EXPECT_EQ(server.errorCode(), TCPServer::kErrorBadPort) << port;
        EXPECT_FALSE(server.isListening()) << port;
    }
}

TEST(TcpServerSetup, SecondStartListeningLeavesOneSocketAndCloseLeavesNone)
{
    const int before = openSocketCount();
    TCPServer server;
    server.setPort(freeLoopbackPort());
    ASSERT_TRUE(server.startListening());
    ASSERT_TRUE(server.startListening());
    EXPECT_TRUE(server.isListening());
    EXPECT_EQ(openSocketCount(), before + 1);
    EXPECT_TRUE(server.close());
    EXPECT_FALSE(server.isListening());
    EXPECT_EQ(openSocketCount(), before);
    EXPECT_FALSE(server.waitForConnection(kPatientMs)); // not listening: false at once
}

TEST(TcpServerSetup, PortTakenLeavesNoSocketBehind)
{
    TCPServer first;
    first.setPort(freeLoopbackPort());
    ASSERT_TRUE(first.startListening());
    const int before = openSocketCount();
    TCPServer second;
    second.setPort(first.port());
    EXPECT_FALSE(second.startListening());
    EXPECT_FALSE(second.isListening());
    EXPECT_EQ(openSocketCount(), before);
}

TEST(TcpClientOpen, ConnectsAndEveryConnectionIsCloseOnExecAndSendsWithoutDelay)
{
    const int before = descriptorsWithoutCloseOnExec();
    const int undelayedBefore = socketsWithoutSendDelay();
    TCPServer server;
    server.setPort(freeLoopbackPort());
    ASSERT_TRUE(server.startListening());
    TCPClient outgoing;
    outgoing.setAddress("127.0.0.1");
    outgoing.setPort(server.port());
    ASSERT_TRUE(outgoing.open());
    ASSERT_TRUE(server.waitForConnection(kPatientMs));
    std::unique_ptr<TCPClient> accepted(server.takeConnection());
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(descriptorsWithoutCloseOnExec(), before);
    EXPECT_EQ(socketsWithoutSendDelay(), undelayedBefore + 2); // accepted and outgoing

    const uint8_t bytes[] = {0x02, 0x1F};
    ASSERT_EQ(outgoing.write(bytes, 2), 2);
    uint8_t buffer[2] = {};
    accepted->setTimeout(kPatientMs);
    ASSERT_EQ(accepted->read(buffer, 2), 2);
    EXPECT_EQ(buffer[1], 0x1F);
}

TEST_F(TcpConnection, WriteSendsTheExactBytesAndTracesThemInUpperCaseHex)
{
    LogCapture log;
    const std::vector<uint8_t> bytes = {0x02, 0x1F, 0xAB};
    ASSERT_EQ(client->write(bytes.data(), 3), 3);
    EXPECT_EQ(readExactly(device, 3), bytes);
    EXPECT_EQ(log.linesOf(QtDebugMsg), QStringList{QStringLiteral("TX BUFFER: \"021FAB\"")});
}

TEST_F(TcpConnection, NoTraceWhenDebugIsOff)
{
    LogCapture log;
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const uint8_t bytes[] = {0xAB};
    ASSERT_EQ(client->write(bytes, 1), 1);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(TcpConnection, LargeWriteIsDeliveredWhole)
{
    // Far more than the socket buffers hold: the client must keep sending, not stop at
    // what the first send took.
    std::vector<uint8_t> block(4 * 1024 * 1024);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 7 + (i >> 9));
    std::vector<uint8_t> received;
    std::thread reader([&] { received = readExactly(device, block.size()); });
    const int written = client->write(block.data(), int(block.size()));
    reader.join();
    EXPECT_EQ(written, int(block.size()));
    EXPECT_TRUE(received == block);
}

TEST_F(TcpConnection, PeekThenReadDeliverTheSameByte)
{
    ASSERT_TRUE(writeAll(device, {0xA5}));
    awaitInput();
    EXPECT_TRUE(client->isDataAvailable());
    EXPECT_TRUE(client->isDataAvailable()); // the peek consumed nothing
    uint8_t byte = 0;
    client->setTimeout(kPatientMs);
    ASSERT_EQ(client->read(&byte, 1), 1);
    EXPECT_EQ(byte, 0xA5);
    EXPECT_FALSE(client->isDataAvailable());
    EXPECT_EQ(client->errorCode(), TCPClient::kErrorSocket);
}

TEST_F(TcpConnection, ReadReturnsWhatIsWaitingAndTracesOnlyThat)
{
    LogCapture log;
    ASSERT_TRUE(writeAll(device, {0x01, 0x02, 0xFE}));
    awaitInput();
    uint8_t buffer[10] = {};
    client->setTimeout(kPatientMs);
    ASSERT_EQ(client->read(buffer, sizeof buffer), 3);
    EXPECT_EQ(buffer[0], 0x01);
    EXPECT_EQ(buffer[1], 0x02);
    EXPECT_EQ(buffer[2], 0xFE);
    EXPECT_EQ(buffer[3], 0x00); // nothing written past what arrived
    EXPECT_EQ(log.linesOf(QtDebugMsg), QStringList{QStringLiteral("RX BUFFER: \"0102FE\"")});
}

TEST_F(TcpConnection, ReadWaitsForBytesThatArriveLater)
{
    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        writeAll(device, {0x06});
    });
    uint8_t byte = 0;
    client->setTimeout(kPatientMs);
    const int got = client->read(&byte, 1);
    sender.join();
    ASSERT_EQ(got, 1);
    EXPECT_EQ(byte, 0x06);
}

TEST_F(TcpConnection, ReadWithNothingToReadReturnsZeroAfterItsTimeOut)
{
    uint8_t byte = 0;
    client->setTimeout(200);
    int64_t start = nowMs();
    EXPECT_EQ(client->read(&byte, 1), 0);
    EXPECT_GE(nowMs() - start, 190);

    client->setTimeout(-1); // the default of one second
    start = nowMs();
    EXPECT_EQ(client->read(&byte, 1), 0);
    EXPECT_GE(nowMs() - start, 990);
    EXPECT_TRUE(client->isConnected());
}

TEST_F(TcpConnection, PeerThatClosedLeavesTheClientDisconnected)
{
    ::close(device);
    device = -1;
    EXPECT_FALSE(client->waitForInput(kPatientMs));
    EXPECT_FALSE(client->isDataAvailable());
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->errorCode(), TCPClient::kErrorSocket);
    uint8_t byte = 0;
    client->setTimeout(kPatientMs);
    const int64_t start = nowMs();
    EXPECT_EQ(client->read(&byte, 1), 0);
    EXPECT_LT(nowMs() - start, kPatientMs); // nothing can come: no waiting
}

TEST_F(TcpConnection, BytesSentBeforeTheCloseAreStillRead)
{
    ASSERT_TRUE(writeAll(device, {0x11, 0x22}));
    ::close(device);
    device = -1;
    awaitInput();
    uint8_t buffer[4] = {};
    client->setTimeout(kPatientMs);
    ASSERT_EQ(client->read(buffer, sizeof buffer), 2);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[1], 0x22);
    EXPECT_TRUE(client->isConnected()); // the close itself has not been read yet
    EXPECT_EQ(client->read(buffer, sizeof buffer), 0);
    EXPECT_FALSE(client->isConnected());
}

TEST_F(TcpConnection, ReadSeesAConnectionReset)
{
    resetAndClose(device);
    device = -1;
    uint8_t byte = 0;
    client->setTimeout(kPatientMs);
    EXPECT_EQ(client->read(&byte, 1), 0);
    EXPECT_FALSE(client->isConnected());
}

TEST_F(TcpConnection, WritingToAPeerThatHasGoneFailsWithoutKillingTheProcess)
{
    for (bool reset : {false, true}) {
        if (reset)
            resetAndClose(device);
        else
            ::close(device);
        device = -1;
        // The first send after an orderly close is still taken; the peer answers it with
        // a reset, and every later send hits a broken pipe.
        const uint8_t bytes[] = {0x02, 0x00};
        int last = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            last = client->write(bytes, sizeof bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(last, -1) << (reset ? "reset" : "closed");
        EXPECT_FALSE(client->isConnected());
        if (!reset) {
            client->disconnect();
            device = connectLoopback(server.port());
            ASSERT_GE(device, 0);
            ASSERT_TRUE(server.waitForConnection(kPatientMs));
            client.reset(server.takeConnection());
            ASSERT_NE(client, nullptr);
        }
    }
}

TEST_F(TcpConnection, DisconnectClosesTheSocket)
{
    EXPECT_TRUE(client->disconnect());
    const uint8_t byte = 0x06;
    EXPECT_EQ(client->write(&byte, 1), -1);
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->errorCode(), TCPClient::kErrorNoSocket);
    EXPECT_FALSE(client->waitForInput(10));
    // The device sees the orderly close.
    uint8_t scratch = 0;
    EXPECT_EQ(::recv(device, &scratch, 1, 0), 0);
    EXPECT_TRUE(client->close()); // closing twice is harmless
}

TEST_F(TcpConnection, ReopenAndInvalidBuffersChangeNothing)
{
    EXPECT_FALSE(client->reopen());
    uint8_t scratch = 0;
    EXPECT_EQ(client->read(nullptr, 4), 0);
    EXPECT_EQ(client->read(&scratch, 0), 0);
    EXPECT_EQ(client->write(nullptr, 4), -1);
    EXPECT_EQ(client->write(&scratch, -1), -1);
    EXPECT_TRUE(client->isConnected());
    const uint8_t byte = 0x15;
    EXPECT_EQ(client->write(&byte, 1), 1);
    EXPECT_EQ(readExactly(device, 1), std::vector<uint8_t>{0x15});
}

TEST(TcpClientOpen, FailsWithoutHoldingASocket)
{
    const int before = openSocketCount();
    TCPClient client;
    client.setAddress("127.0.0.1");
    client.setPort(freeLoopbackPort()); // nobody listens there
    EXPECT_FALSE(client.open());
    EXPECT_FALSE(client.isConnected());

    client.setConnectTimeout(150); // keeps trying until the time-out, then gives up
    const int64_t start = nowMs();
    EXPECT_FALSE(client.open());
    EXPECT_GE(nowMs() - start, 140);

    client.setAddress("300.1.2.3");
    EXPECT_FALSE(client.open());
    client.setAddress("127.0.0.1");
    client.setPort(0);
    EXPECT_FALSE(client.open());
    EXPECT_EQ(openSocketCount(), before);
}
