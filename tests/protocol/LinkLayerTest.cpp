// Framing, acknowledgement and reception over the scripted transport.
#include "ProtocolFixture.h"
#include "transports/TimeOut.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace liblumo::test {
namespace {

using LinkLayer = ProtocolTest;

TEST_F(LinkLayer, FrameWithoutDataIsSevenBytesAndAcknowledged)
{
    device.setAutoAck(true);
    EXPECT_EQ(protocol->send(0xB0, QByteArray()), 1);
    ASSERT_EQ(device.writes().size(), 1u);
    EXPECT_EQ(device.writes()[0], hex("02 00 00 00 02 B0 B0"));
    EXPECT_EQ(device.events().front(), "discard"); // stale input dropped before the frame
}

TEST_F(LinkLayer, ThreeNaksGiveThreeIdenticalWritesEachAfterDiscard)
{
    device.replyToNextFrames({hex("15"), hex("15"), hex("15")});
    EXPECT_EQ(protocol->send(0xB0, QByteArray()), 0);
    const std::string frame = "write 0200000002B0B0";
    EXPECT_EQ(device.events(),
              (std::vector<std::string>{"discard", frame, "discard", frame, "discard", frame}));
}

TEST_F(LinkLayer, SilenceThenAckSucceedsOnTheSecondAttempt)
{
    device.replyToNextFrames({QByteArray(), hex("06")}); // nothing, then ACK
    EXPECT_EQ(protocol->send(0xB0, QByteArray()), 1);
    EXPECT_EQ(device.writes().size(), 2u);
}

TEST_F(LinkLayer, ShortWriteFailsAtOnceWithoutRepeating)
{
    device.setAutoAck(true);
    device.setShortFrameWrites(true);
    EXPECT_EQ(protocol->send(0xB0, QByteArray()), 0);
    EXPECT_EQ(device.writes().size(), 1u);
}

TEST_F(LinkLayer, DataTooLongForTheLengthFieldIsNotSent)
{
    device.setAutoAck(true);
    EXPECT_EQ(protocol->send(0x92, QByteArray(65534, 'x')), 0);
    EXPECT_TRUE(device.writes().empty());
    EXPECT_EQ(protocol->send(0x92, QByteArray(65533, 'x')), 1);
    ASSERT_EQ(device.writes().size(), 1u);
    EXPECT_EQ(device.writes()[0].mid(3, 2), hex("FF FF"));
}

TEST_F(LinkLayer, ReceivedPacketNumberIsEchoedInTheNextFrame)
{
    device.feed(hex("02 12 34 00 02 F1 D7"));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 0);
    EXPECT_EQ(command, 0xF1);
    EXPECT_EQ(protocol->packetNumber(), 0x1234);
    device.setAutoAck(true);
    EXPECT_TRUE(protocol->doSleep());
    EXPECT_EQ(device.wire(), hex("06  02 12 34 00 03 91 01 B7"));
}

TEST_F(LinkLayer, EmptyFrameIsReceivedInTwoReadsAtMost)
{
    device.feed(hex("02 00 00 00 02 B0 B0"));
    uint8_t command = 0;
    QByteArray data("stale");
    EXPECT_EQ(protocol->receive(command, data, 1000), 0);
    EXPECT_EQ(command, 0xB0);
    EXPECT_TRUE(data.isEmpty());
    EXPECT_EQ(device.writes(), std::vector<QByteArray>{hex("06")});
    EXPECT_EQ(device.readSizes(), (std::vector<int>{6, 1}));
}

TEST_F(LinkLayer, LengthLowByteAbove0x7FIsUnsigned)
{
    QByteArray payload;
    for (int i = 0; i < 200; ++i)
        payload.append(char(0xFF - i));
    const QByteArray frame = deviceFrame(0x0102, 0xA3, payload);
    ASSERT_EQ(uint8_t(frame.at(4)), 0xCA); // 200 + 2
    device.feed(frame);
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 200);
    EXPECT_EQ(data, payload);
    EXPECT_EQ(device.readSizes(), (std::vector<int>{6, 201}));
}

TEST_F(LinkLayer, FrameOneBytePerReadAndAfterNoise)
{
    const QByteArray payload = hex("11 02 33"); // holds a start byte inside the data
    device.feedBytewise(deviceFrame(9, 0x92, payload));
    // noise, the next frame, one more byte
    device.feed(hex("FF 00 41 7E") + deviceFrame(10, 0x92, payload) + hex("55"));
    for (int round = 0; round < 2; ++round) {
        uint8_t command = 0;
        QByteArray data;
        EXPECT_EQ(protocol->receive(command, data, 1000), 3) << round;
        EXPECT_EQ(command, 0x92);
        EXPECT_EQ(data, payload);
    }
    EXPECT_EQ(device.writes(), (std::vector<QByteArray>{hex("06"), hex("06")}));
    EXPECT_EQ(device.pendingBytes(), 1); // nothing read beyond the frame's end
}

TEST_F(LinkLayer, ReadsNeverAskBeyondTheFrame)
{
    device.feed(deviceFrame(1, 0x82, QByteArray(41, 'a')) + deviceFrame(2, 0xB0, hex("01 00")));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 41);
    EXPECT_EQ(device.pendingBytes(), 9);
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_EQ(command, 0xB0);
    EXPECT_EQ(device.readSizes(), (std::vector<int>{6, 42, 6, 3}));
}

TEST_F(LinkLayer, BadLrcIsAnsweredByNakAndTheRepetitionAccepted)
{
    const QByteArray good = hex("02 00 05 00 04 A4 01 02 A4");
    device.feed(corrupted(good));
    device.feed(good);
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_EQ(data, hex("01 02"));
    EXPECT_EQ(device.writes(), (std::vector<QByteArray>{hex("15"), hex("06")}));
}

TEST_F(LinkLayer, HandshakeFrameIsLeftToTheCaller)
{
    device.feed(deviceFrame(3, 0x01, QByteArray(12, '\0')));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 12);
    EXPECT_EQ(command, 0x01);
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(LinkLayer, SilenceOrFailureEndsReceive)
{
    uint8_t command = 0;
    QByteArray data;
    device.feed(hex("02 00 01 00 05")); // header cut short, then silence
    device.feedTimeout();
    EXPECT_EQ(protocol->receive(command, data, 1000), -1);
    device.feed(hex("02 00 01 00 05 82 07 08"));
    device.feedFailure();
    EXPECT_EQ(protocol->receive(command, data, 1000), -1);
    EXPECT_EQ(data, hex("07 08"));                         // what arrived of the unfinished frame
    EXPECT_EQ(protocol->receive(command, data, 1000), -1); // nothing scripted at all
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(LinkLayer, OversizeFrameIsDroppedWithNakAndTheNextFrameReceived)
{
    // 12000 data bytes announced: more than the 10240-byte receive buffer holds. Its data
    // holds start bytes that must not be taken for frames.
    const QByteArray huge = deviceFrame(4, 0x82, QByteArray(12000, char(0x02)));
    device.feed(huge);
    device.feed(deviceFrame(5, 0xB0, hex("03 00")));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_EQ(command, 0xB0);
    EXPECT_EQ(data, hex("03 00"));
    EXPECT_EQ(device.writes(), (std::vector<QByteArray>{hex("15"), hex("06")}));
    for (int size : device.readSizes())
        EXPECT_LE(size, Protocol::kBufferSize);
}

TEST_F(LinkLayer, OversizeFrameCutShortFails)
{
    device.feed(deviceFrame(4, 0x82, QByteArray(12000, 'z')).left(5000));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), -1);
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(LinkLayer, LongNoiseRunFailsAndTheFollowingFrameIsReceivedNext)
{
    device.feed(QByteArray(12000, char(0xAA)));
    device.feed(deviceFrame(6, 0xB0, hex("04 00")));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), -1);
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_EQ(data, hex("04 00"));
    for (int size : device.readSizes())
        EXPECT_LE(size, 6);
}

TEST_F(LinkLayer, TimeoutsReachTheTransportUnchanged)
{
    device.feed(hex("02 00 00 00 02 B0 B0"));
    uint8_t command = 0;
    QByteArray data;
    protocol->receive(command, data, 30000);
    protocol->receive(command, data, -1);
    EXPECT_EQ(device.timeouts(), (std::vector<int>{30000, 30000, -1}));
}

TEST_F(LinkLayer, StopSignalEndsAWaitAtOnceAndEverythingAfterIt)
{
    com::StopSignal stop;
    protocol->setStopSignal(&stop);
    device.setWaitWhenIdle(true);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.raise();
    });
    const auto started = std::chrono::steady_clock::now();
    uint8_t command = 0;
    QByteArray data;
    const int result = protocol->receive(command, data, 30000);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_EQ(result, -1);
    EXPECT_LT(elapsed, std::chrono::milliseconds(10000));  // a 30 s wait without the signal
    EXPECT_EQ(device.timeouts(), std::vector<int>{30000}); // one wait, not slices of it

    // Once stopped, nothing more is written and no wait starts.
    EXPECT_EQ(protocol->send(0xB0, QByteArray()), 0);
    EXPECT_FALSE(protocol->waitAck());
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(LinkLayer, ReceiveDeadlineCapsEveryWait)
{
    device.setWaitWhenIdle(true);
    protocol->setReceiveDeadline(TimeOut::nowMs() + 300);
    device.feedBytewise(hex("02 00 01")); // a frame that never completes
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 30000), -1);
    ASSERT_FALSE(device.timeouts().empty());
    for (int ms : device.timeouts())
        EXPECT_LE(ms, 300);
}

TEST_F(LinkLayer, ConnectionStateAndDisconnectGoToTheTransport)
{
    EXPECT_TRUE(protocol->isConnected());
    device.setConnected(false);
    EXPECT_FALSE(protocol->isConnected());
    protocol->disconnect();
    EXPECT_EQ(device.disconnects(), 1);
    Protocol unattached;
    EXPECT_FALSE(unattached.isConnected());
    EXPECT_EQ(unattached.send(0xB0, QByteArray()), 0);
}

} // namespace
} // namespace liblumo::test
