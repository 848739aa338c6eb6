// Framing, acknowledgement and reception over the scripted transport.
#include "FakeClock.h"
#include "ProtocolFixture.h"
#include "transports/TimeOut.h"

#include <chrono>
#include <thread>

namespace liblumo::test {

using LinkLayer = ProtocolTest;

// The header is read first, then exactly the rest of the frame: nothing beyond its end. A
// new transport starts with an empty receive buffer.
TEST_F(LinkLayer, ReadsAskForTheHeaderThenTheRestOfTheFrame)
{
    FakeClock clock; // the default wait below is checked exactly, not against a loaded clock
    QByteArray payload;
    for (int i = 0; i < 200; ++i)
        payload.append(char(0xFF - i));
    const QByteArray frame = deviceFrame(0x0102, 0xA3, payload); // length 00 CA: unsigned
    device.feed(hex("02 00 00 00 02 B0 B0") + frame + deviceFrame(2, 0xB0, hex("01 00")) +
                deviceFrame(3, 0xF1));
    data = "stale";
    EXPECT_EQ(receive(30000), 0);
    EXPECT_EQ(command, 0xB0);
    EXPECT_TRUE(data.isEmpty());
    EXPECT_EQ(receive(), 200);
    EXPECT_EQ(data, payload);
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(device.readSizes(), (std::vector<int>{6, 1, 6, 201, 6, 3}));
    EXPECT_EQ(device.wire(), hex("06 06 06"));
    EXPECT_TRUE(protocol->link().isInputWaiting()); // the fourth frame
    ScriptedTransport other;
    protocol->link().setTransport(&other);
    EXPECT_FALSE(protocol->link().isInputWaiting());
    EXPECT_EQ(receive(-1), -1); // -1 stands for the default: one wait of 1000 ms in all
    EXPECT_EQ(other.timeouts(), std::vector<int>{1000});
    payload = hex("11 02 33");                         // holds a start byte inside the data
    other.feedBytewise(deviceFrame(9, 0x92, payload)); // one byte per read, then after noise
    other.feed(hex("FF 00 41 7E") + deviceFrame(10, 0x92, payload));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(receive(), 3) << round;
        EXPECT_EQ(command, 0x92);
        EXPECT_EQ(data, payload);
    }
    EXPECT_EQ(other.wire(), hex("06 06"));
}

// A bad LRC is answered by NAK and the repetition taken; a frame received unacknowledged is
// left to the caller to answer. Silence or a failure ends a
// receive; noise before the start byte and the time-out -1 write no failure line.
TEST_F(LinkLayer, BadFramesSilenceAndFailures)
{
    LogCapture log;
    device.feed(hex("02 00 05 00 04 A4 01 02 FE") + hex("02 00 05 00 04 A4 01 02 A4"));
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(data, hex("01 02"));
    device.feed(deviceFrame(3, 0x01, QByteArray(12, '\0')));
    EXPECT_EQ(receive(1000, false), 12);
    EXPECT_EQ(command, 0x01);
    EXPECT_EQ(device.writes(), (Bytes{hex("15"), hex("06")}));
    device.feed(hex("02 00 01 00 05")); // header cut short, then silence
    device.feedTimeout();
    EXPECT_EQ(receive(), -1);
    device.feed(hex("02 00 01 00 05 82 07 08"));
    device.feedFailure();
    EXPECT_EQ(receive(), -1);
    EXPECT_EQ(data, hex("07 08")); // what arrived of the unfinished frame
    EXPECT_EQ(receive(), -1);      // nothing scripted at all
    device.feed(hex("FF 02 00 01"));
    EXPECT_EQ(receive(-1), -1);
    EXPECT_EQ(logText(log), R"(Protocol::receive bad LRC: "A4" rxLRC: "FE"
Protocol::sendNak
Protocol::sendAck
Protocol::receive command: "A4" nrPacket: 5 %T
Protocol::receive command: "01" nrPacket: 3 %T
Protocol::receive FORMAT ERROR! %T
Protocol::receive ERROR! %T
Protocol::receive FORMAT ERROR! %T
Protocol::receive ERROR! %T
Protocol::receive ERROR! %T)");
}

// A frame longer than the receive buffer (its data holds start bytes that are no frames) is
// dropped with NAK; a run of noise as long as the buffer ends the receive. The next frame
// is received either way.
TEST_F(LinkLayer, OversizeFrameOrLongNoiseRunIsDropped)
{
    device.feed(deviceFrame(4, 0x82, QByteArray(12000, char(0x02))));
    device.feed(deviceFrame(5, 0xB0, hex("03 00")));
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(data, hex("03 00"));
    EXPECT_EQ(device.writes(), (Bytes{hex("15"), hex("06")}));
    device.feed(QByteArray(12000, char(0xAA)) + deviceFrame(6, 0xB0, hex("04 00")));
    EXPECT_EQ(receive(), -1);
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(data, hex("04 00"));
    device.feed(deviceFrame(4, 0x82, QByteArray(12000, 'z')).left(5000)); // cut short
    EXPECT_EQ(receive(), -1);
    EXPECT_EQ(device.writes().size(), 3u);
}

TEST_F(LinkLayer, StopSignalEndsAWaitAtOnceAndEverythingAfterIt)
{
    FakeClock clock; // the one wait is checked exactly, not against a loaded clock
    com::StopSignal stop;
    protocol->link().setStopSignal(&stop);
    device.setWaitWhenIdle(true);
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.raise();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(receive(30000), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)); // not 30 s
    stopper.join();
    EXPECT_EQ(device.timeouts(), std::vector<int>{30000}); // one wait, not slices of it
    EXPECT_FALSE(protocol->link().send(0xB0, QByteArray()));      // once stopped, nothing more
    EXPECT_FALSE(protocol->link().waitAck());
    EXPECT_TRUE(device.writes().empty());
}

TEST_F(LinkLayer, ReceiveDeadlineCapsEveryWait)
{
    FakeClock clock;
    device.setClock(&clock);
    device.setWaitWhenIdle(true);
    protocol->link().setReceiveDeadline(TimeOut::nowMs() + 300);
    device.feedBytewise(hex("02 00 01")); // a frame that never completes
    EXPECT_EQ(receive(30000), -1);
    EXPECT_EQ(device.timeouts(), (std::vector<int>{300, 300, 300, 300}));
}

// The length field holds the data length plus 2 in 16 bits; a short write fails at once.
TEST_F(LinkLayer, TooLongDataShortWriteConnectionStateAndDisconnect)
{
    device.setAutoAck(true);
    EXPECT_FALSE(protocol->link().send(0x92, QByteArray(65534, 'x')));
    EXPECT_TRUE(device.writes().empty());
    EXPECT_TRUE(protocol->link().send(0x92, QByteArray(65533, 'x')));
    EXPECT_EQ(device.writes().at(0).mid(3, 2), hex("FF FF"));
    EXPECT_TRUE(protocol->link().isConnected());
    device.setConnected(false);
    EXPECT_FALSE(protocol->link().isConnected());
    protocol->link().disconnect();
    EXPECT_EQ(device.disconnects(), 1);
    device.setShortFrameWrites(true);
    EXPECT_FALSE(protocol->link().send(0xB0, QByteArray()));
    EXPECT_EQ(device.writes().size(), 2u); // not repeated
    Protocol unattached;
    EXPECT_FALSE(unattached.link().isConnected());
    EXPECT_FALSE(unattached.link().send(0xB0, QByteArray()));
}

} // namespace liblumo::test

namespace liblumo::test {

// What is acknowledged: the frame awaited (ACK), a repeat of the frame acknowledged last
// (ACK again, never delivered twice, also while the ACK of our next frame is awaited), a
// well-formed frame of another kind (NAK, counted like a damaged one). `input` is what the
// device sends after the frame F (0xB0, count 2) was received and acknowledged; `wire` what
// the library wrote after F's ACK and before the ACK of what it delivered; `delivered` the
// command the receive returns (0: none).
TEST(LinkLayerAcknowledgement, OnlyTheAwaitedFrameOrARepeatIsAcknowledged)
{
    const QByteArray countAnswer = deviceFrame(7, 0xB0, hex("02 00"));
    const QByteArray header = deviceFrame(8, 0x81, QByteArray(11, '\0'));
    const QByteArray late = deviceFrame(9, 0xA4, hex("03 01 00")); // nobody asked for it
    const struct {
        const char *name;
        QByteArray input;
        bool sendFirst; // our 0xB1 goes out first and the input answers it
        QByteArray wire;
        uint8_t delivered;
    } rows[] = {
        {"awaited", header, false, QByteArray(), 0x81},
        {"repeat, then awaited", countAnswer + header, false, hex("06"), 0x81},
        {"other kind refused, then awaited", late + header, false, hex("15"), 0x81},
        {"repeat while our ACK is awaited", countAnswer + hex("06") + header, true,
         hex("02 00 07 00 02 B1 B6  06"), 0x81},
        {"stale frame while our ACK is awaited", late + hex("06") + header, true,
         hex("02 00 07 00 02 B1 B6"), 0x81},
        {"nothing but unwanted frames", late + late, false, hex("15 15"), 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedTransport device;
        Protocol protocol;
        liblumo::LinkLayer &link = protocol.link();
        link.setTransport(&device);
        device.feed(countAnswer);
        uint8_t command = 0;
        QByteArray data;
        ASSERT_EQ(link.receive({0xB0}, command, data, 1000, true), 2);
        const int before = int(device.wire().size());
        if (row.sendFirst) {
            device.replyToNextFrames({row.input});
            EXPECT_TRUE(link.send(0xB1, QByteArray()));
        } else {
            device.feed(row.input);
        }
        const int got = link.receive({0x81, 0x82}, command, data, 1000, true);
        EXPECT_EQ(got >= 0 ? command : 0, row.delivered);
        EXPECT_EQ(device.wire().mid(before).toHex(), row.wire.toHex() + (got >= 0 ? "06" : ""));
    }
}

// A frame that starts and then stops arriving gives the link up once it has been unfinished
// for the cut-off time, however its bytes trickle: a peer cannot hold a connection with it.
TEST(LinkLayerAcknowledgement, AFrameCutOffGivesTheLinkUp)
{
    for (const int quietMs : {liblumo::LinkLayer::kFrameCutOffMs - 1000, liblumo::LinkLayer::kFrameCutOffMs}) {
        FakeClock clock;
        ScriptedTransport device;
        device.setClock(&clock);
        device.setWaitWhenIdle(true);
        Protocol protocol;
        protocol.link().setTransport(&device);
        device.feedBytewise(hex("02 00 01 00 05"));
        uint8_t command = 0;
        QByteArray data;
        EXPECT_EQ(protocol.link().receive({0xB0}, command, data, quietMs, true), -1);
        EXPECT_EQ(protocol.link().givenUp(), quietMs >= liblumo::LinkLayer::kFrameCutOffMs) << quietMs;
    }
}

} // namespace liblumo::test
