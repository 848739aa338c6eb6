// A scripted host drives whole sessions against the simulator over a socketpair.
#include "ScriptedHost.h"
#include "Waveform.h"

#include <gtest/gtest.h>

using namespace simtest;

namespace {

std::vector<uint16_t> samplesOf(const Bytes &blockData)
{
    std::vector<uint16_t> s;
    for (std::size_t i = 1; i + 1 < blockData.size(); i += 2)
        s.push_back(le16(blockData, i));
    return s;
}

} // namespace

TEST(SimSession, HandshakeTransferAndSleepOnTheWire)
{
    SimOnThread t(oneDevice(2, 2, 3));
    RawFrame hs;
    ASSERT_TRUE(t.host.readFrame(hs));
    // DIN 1234, clock 2024-05-17 13:45:30, word 0x0100, CRC 0x1234, packet 1.
    EXPECT_EQ(hs.wire, (Bytes{0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00, 0x5E,
                              0xDB, 0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B}));
    t.host.ack();
    t.host.write(hostFrame(1, 0x01, hs.data));
    ASSERT_EQ(t.host.readControl(), ACK);

    RawFrame count;
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(count.wire, (Bytes{0x02, 0x00, 0x02, 0x00, 0x04, 0xB0, 0x02, 0x00, 0xB6}));

    const lumosim::SimDevice &dev = t.sim.config().devices[0];
    for (uint32_t m = 0; m < 2; ++m) {
        RawFrame header;
        ASSERT_TRUE(t.host.ask(0xB1, header));
        ASSERT_EQ(header.command, 0x81);
        ASSERT_EQ(header.data.size(), 11u);
        EXPECT_EQ(le16(header.data, 0), 2); // totBlocks
        std::vector<uint16_t> got;
        for (uint8_t block = 1; block <= 2; ++block) {
            RawFrame b;
            ASSERT_TRUE(t.host.readFrame(b));
            t.host.ack();
            ASSERT_EQ(b.command, 0x82);
            EXPECT_EQ(b.data.at(0), block);
            auto s = samplesOf(b.data);
            got.insert(got.end(), s.begin(), s.end());
        }
        EXPECT_EQ(got, lumosim::expectedSamples(dev, m)) << "measurement " << m;
    }
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 0);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);

    const lumosim::SimReport r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsCompleted, 1u);
    EXPECT_EQ(r.handshakesAccepted, 1u);
    EXPECT_EQ(r.measurementsHandedOver, 2u);
    EXPECT_EQ(r.devices.at(0).measurementsRemaining, 0u);
    EXPECT_EQ(r.devices.at(0).sleepsReceived, 1u);
    EXPECT_EQ(r.framesReceived.at(0xB1), 2u);
    EXPECT_EQ(r.framesReceived.at(0xB0), 2u);
    EXPECT_EQ(r.packetMismatches, 0u);
    // handshake + 2 counts + 2 x (header + 2 blocks)
    EXPECT_EQ(r.framesSent, 9u);
    EXPECT_EQ(r.acksReceived, 9u);
}

TEST(SimSession, PacketNumbersIncrementAndAResendKeepsItsNumber)
{
    SimOnThread t(oneDevice(1, 1, 2));
    RawFrame hs;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    EXPECT_EQ(hs.packet, 1);
    ASSERT_EQ(t.host.command(0xB1), ACK);
    RawFrame header, again;
    ASSERT_TRUE(t.host.readFrame(header));
    EXPECT_EQ(header.packet, 2);
    t.host.nak(); // the device must send the identical frame again
    ASSERT_TRUE(t.host.readFrame(again));
    EXPECT_EQ(again.wire, header.wire);
    t.host.ack();
    RawFrame block;
    ASSERT_TRUE(t.host.readFrame(block));
    EXPECT_EQ(block.packet, 3);
    t.host.ack();
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.naksReceived, 1u);
    EXPECT_EQ(r.framesResent, 1u);
    EXPECT_EQ(r.measurementsHandedOver, 1u);
}

TEST(SimSession, SilenceAfterAFrameMakesTheDeviceResendThenGiveUp)
{
    SimOnThread t(oneDevice(1, 1, 2));
    RawFrame hs, first, second, third;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB0), ACK);
    ASSERT_TRUE(t.host.readFrame(first)); // not acknowledged: 300 ms later it comes again
    ASSERT_TRUE(t.host.readFrame(second));
    ASSERT_TRUE(t.host.readFrame(third));
    EXPECT_EQ(second.wire, first.wire);
    EXPECT_EQ(third.wire, first.wire);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "failed");
    EXPECT_NE(r.error.find("0xB0"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("not acknowledged after 3 attempts"), std::string::npos);
    EXPECT_EQ(r.ackTimeouts, 3u);
}

TEST(SimSession, HostFrameWithBadLrcIsNakedAndTheRepetitionServed)
{
    SimOnThread t(oneDevice(5, 1, 1));
    RawFrame hs, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    Bytes bad = hostFrame(t.host.lastPacket(), 0xB0);
    bad.back() ^= 0x01;
    t.host.write(bad);
    EXPECT_EQ(t.host.readControl(), NAK);
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 5);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.badLrcReceived, 1u);
    EXPECT_EQ(r.framesReceived.at(0xB0), 1u);
}

TEST(SimSession, GarbageFromTheHostIsSkippedNotMisread)
{
    SimOnThread t(oneDevice(1, 1, 1));
    RawFrame hs, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    // A start byte with an impossible length (1), one claiming 60000 data bytes, a stray
    // ACK: none of them may swallow the real frame behind them.
    t.host.write({0x02, 0x00, 0x01, 0x00, 0x01, 0xB0, 0x02, 0x00, 0x01, 0xEA, 0x62, 0xB0, ACK});
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 1);
    // An unknown command is acknowledged and otherwise ignored.
    EXPECT_EQ(t.host.command(0x77, {1, 2, 3}), ACK);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.strayBytes, 13u);
    EXPECT_EQ(r.framesReceived.at(0x77), 1u);
}

TEST(SimSession, RefusedHandshakeIsLeftAndTheSessionEnds)
{
    SimOnThread t(oneDevice());
    RawFrame hs;
    ASSERT_TRUE(t.host.readFrame(hs)); // and never answered
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.handshakesUnanswered, 1u);
    EXPECT_EQ(r.handshakesAccepted, 0u);
    EXPECT_EQ(r.sessionsCompleted, 0u);
    EXPECT_EQ(r.framesResent, 0u); // a refused handshake is not repeated
}

TEST(SimSession, WrongEchoIsNotAnAcceptance)
{
    SimOnThread t(oneDevice());
    RawFrame hs;
    ASSERT_TRUE(t.host.readFrame(hs));
    t.host.ack();
    Bytes other = hs.data;
    other[0] ^= 0xFF;
    t.host.write(hostFrame(hs.packet, 0x01, other));
    EXPECT_EQ(t.host.readControl(), ACK); // a valid frame is acknowledged all the same
    const auto r = t.finish();
    EXPECT_EQ(r.devices.at(0).echoMismatches, 1u);
    EXPECT_EQ(r.handshakesAccepted, 0u);
}

TEST(SimSession, StatusParametersClockAndKeepAlive)
{
    auto cfg = oneDevice(0, 0, 0);
    cfg.sessions = 2;
    SimOnThread t(cfg);
    RawFrame hs, status, params, ka, rt;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_TRUE(t.host.ask(0xA4, status));
    // 00 1C size; 32a = DIN 1234; 32b = 0x01020304; 16a = 3600 (0x0E10); clock; 1..7.
    EXPECT_EQ(status.data, (Bytes{0x00, 0x1C, 0xD2, 0x04, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01,
                                  0x10, 0x0E, 0x5E, 0xDB, 0x62, 0x61, 1,    0,    2,    0,
                                  3,    0,    4,    0,    5,    0,    6,    0,    7,    0}));
    // Set 2025-01-02 03:04:05 (a Thursday) and a new parameter block with CRC 0xBEEF.
    EXPECT_EQ(t.host.command(0xA1, {25, 1, 2, 3, 4, 5, 4}), ACK);
    Bytes block(94);
    for (std::size_t i = 0; i < 60; ++i)
        block[i] = uint8_t(i);
    block[92] = 0xEF;
    block[93] = 0xBE;
    EXPECT_EQ(t.host.command(0xA2, block), ACK);
    ASSERT_TRUE(t.host.ask(0xA3, params));
    Bytes expected = {0x00, 0x5E};
    expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_EQ(params.data, expected);
    ASSERT_TRUE(t.host.ask(0xF1, ka, Bytes{'0', '0', '0', '0', '0', '0', '0', '0', '4', '2'}));
    EXPECT_EQ(ka.command, 0xF1);
    EXPECT_EQ(ka.data, (Bytes{'0', '0', '0', '0', '0', '0', '0', '0', '4', '2'}));
    ASSERT_TRUE(t.host.ask(0x92, rt, Bytes{0x07, 0xAA}));
    EXPECT_EQ(rt.data, (Bytes{0x07, 0xAA}));
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);

    // The next session on the same link reports the new clock and CRC: 2025-01-02
    // 03:04:05 packs to 25<<26 | 1<<22 | 2<<17 | 3<<12 | 4<<6 | 5 = 0x64443105.
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    EXPECT_EQ(hs.data, (Bytes{0xD2, 0x04, 0, 0, 0x05, 0x31, 0x44, 0x64, 0x00, 0x01, 0xEF, 0xBE}));
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.sessionsCompleted, 2u);
    const auto &d = r.devices.at(0);
    ASSERT_EQ(d.dateTimesWritten.size(), 1u);
    EXPECT_EQ(d.dateTimesWritten[0], "19010203040504");
    ASSERT_EQ(d.paramsWritten.size(), 1u);
    EXPECT_EQ(d.paramsWritten[0].size(), 188u);
    EXPECT_EQ(d.keepAliveCounters, (std::vector<uint64_t>{42}));
    EXPECT_EQ(d.malformedCommands, 0u);
}

TEST(SimSession, MalformedCommandsAreAcknowledgedButNotStored)
{
    auto cfg = oneDevice(0, 0, 0);
    cfg.sessions = 2;
    SimOnThread t(cfg);
    RawFrame hs, ka;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    const Bytes first = hs.data;
    EXPECT_EQ(t.host.command(0xA1, {25, 13, 2, 3, 4, 5, 4}), ACK); // month 13
    EXPECT_EQ(t.host.command(0xA1, {25, 1}), ACK);                 // too short
    EXPECT_EQ(t.host.command(0xA2, Bytes(93, 0xFF)), ACK);         // one byte short
    ASSERT_TRUE(t.host.ask(0xF1, ka, Bytes{'1', '2', 'x'}));       // not ten digits
    EXPECT_EQ(t.host.command(0x91, {0x00}), ACK);                  // odd argument, still sleeps
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    EXPECT_EQ(hs.data, first); // clock and CRC unchanged
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.devices.at(0).malformedCommands, 5u);
    EXPECT_TRUE(r.devices.at(0).keepAliveCounters.empty());
}

TEST(SimSession, BusHandshakesInDinOrderAndCountRequestsPassTheLink)
{
    lumosim::SimConfig cfg = oneDevice(1, 1, 1);
    lumosim::SimDevice low = lumosim::defaultDevice(1000);
    low.measurements = 2;
    low.blocks = 1;
    low.samplesPerBlock = 1;
    cfg.devices.push_back(low); // given after the higher DIN on purpose
    SimOnThread t(cfg);
    RawFrame hs1, hs2, count, status, frame;
    ASSERT_TRUE(t.host.acceptHandshake(hs1));
    ASSERT_TRUE(t.host.acceptHandshake(hs2));
    EXPECT_EQ(le16(hs1.data, 0), 1000);
    EXPECT_EQ(le16(hs2.data, 0), 1234);

    auto transfer = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(t.host.command(0xB1), ACK);
            for (int f = 0; f < 2; ++f) {
                ASSERT_TRUE(t.host.readFrame(frame));
                t.host.ack();
            }
        }
    };
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 2); // DIN 1000 answers first
    transfer(2);
    ASSERT_TRUE(t.host.ask(0xA4, status));
    EXPECT_EQ(le16(status.data, 2), 1000); // still the holder until the next count
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 1); // passed on to DIN 1234
    transfer(1);
    // Everybody has handed over everything: commands go to the lowest DIN again.
    ASSERT_TRUE(t.host.ask(0xA4, status));
    EXPECT_EQ(le16(status.data, 2), 1000);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    ASSERT_TRUE(t.host.ask(0xA4, status));
    EXPECT_EQ(le16(status.data, 2), 1234);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.device(1000)->measurementsHandedOver, 2u);
    EXPECT_EQ(r.device(1234)->measurementsHandedOver, 1u);
    EXPECT_EQ(r.device(1000)->sleepsReceived, 1u);
    EXPECT_EQ(r.device(1234)->sleepsReceived, 1u);
}

TEST(SimSession, RefusedDeviceOnABusLetsTheNextHandshake)
{
    lumosim::SimConfig cfg = oneDevice(0, 0, 0);
    cfg.devices.push_back(lumosim::defaultDevice(999));
    SimOnThread t(cfg);
    RawFrame refused, hs;
    ASSERT_TRUE(t.host.readFrame(refused));
    EXPECT_EQ(le16(refused.data, 0), 999);
    ASSERT_TRUE(t.host.acceptHandshake(hs)); // comes after the 300 ms handshake time-out
    EXPECT_EQ(le16(hs.data, 0), 1234);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.device(999)->handshakesUnanswered, 1u);
    EXPECT_EQ(r.device(1234)->handshakesAccepted, 1u);
    EXPECT_EQ(r.device(1234)->sleepsReceived, 1u);
}

TEST(SimSession, MeasurementIsHandedOverOnceItsLastBlockIsAcknowledged)
{
    SimOnThread t(oneDevice(1, 2, 2));
    RawFrame hs, header, block, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB1), ACK);
    ASSERT_TRUE(t.host.readFrame(header));
    t.host.ack();
    ASSERT_TRUE(t.host.readFrame(block));
    t.host.ack();
    ASSERT_TRUE(t.host.readFrame(block)); // last block
    t.host.nak();                         // NAK, then the resend is acknowledged
    ASSERT_TRUE(t.host.readFrame(block));
    t.host.ack();
    // The same measurement may not come again once its last block was acknowledged.
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 0);
    ASSERT_TRUE(t.host.ask(0xB1, header)); // nothing left: an empty header
    EXPECT_EQ(le16(header.data, 0), 0);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.measurementsHandedOver, 1u);
}

TEST(SimSession, RefillStoresEveryMeasurementAgainEachSession)
{
    auto cfg = oneDevice(1, 1, 1);
    cfg.sessions = 2;
    cfg.refill = true;
    SimOnThread t(cfg);
    RawFrame hs, count, frame;
    for (int session = 0; session < 2; ++session) {
        ASSERT_TRUE(t.host.acceptHandshake(hs));
        ASSERT_TRUE(t.host.ask(0xB0, count));
        EXPECT_EQ(le16(count.data, 0), 1) << "session " << session;
        ASSERT_EQ(t.host.command(0xB1), ACK);
        for (int f = 0; f < 2; ++f) {
            ASSERT_TRUE(t.host.readFrame(frame));
            t.host.ack();
        }
        EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    }
    const auto r = t.finish();
    EXPECT_EQ(r.measurementsHandedOver, 2u);
    EXPECT_EQ(r.devices.at(0).measurementsRemaining, 0u);
}

TEST(SimSession, HoldKeepsTheLinkUntilTheHostCloses)
{
    auto cfg = oneDevice(0, 0, 0);
    cfg.hold = true;
    SimOnThread t(cfg);
    RawFrame hs;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    // Asleep: nothing is answered any more, not even an ACK, and the link stays.
    t.host.write(hostFrame(hs.packet, 0xB0));
    EXPECT_TRUE(t.host.quietFor(200));
    EXPECT_FALSE(t.finished());
    t.closeHost();
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsCompleted, 1u);
    EXPECT_EQ(r.linksClosedByHost, 1u);
}
