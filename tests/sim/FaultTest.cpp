// Every injected fault, observed on the wire by the scripted host.
#include "Options.h"
#include "ScriptedHost.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <iterator>
#include <sstream>

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

} // namespace

TEST(SimFaults, BadLrcOnTheNthFrameIsSentOnceThenCorrected)
{
    auto cfg = oneDevice(1, 1, 1);
    cfg.faults.badLrcFrame = 2; // the count answer
    SimOnThread t(cfg);
    RawFrame hs, good;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB0), ACK);
    // Count answer 1 in packet 2: 02 00 02 00 04 B0 01 00, correct LRC B5, sent as 4A.
    EXPECT_EQ(t.host.read(9), (Bytes{0x02, 0x00, 0x02, 0x00, 0x04, 0xB0, 0x01, 0x00, 0x4A}));
    t.host.nak();
    ASSERT_TRUE(t.host.readFrame(good));
    EXPECT_EQ(good.wire.back(), 0xB5);
    t.host.ack();
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.naksReceived, 1u);
    EXPECT_EQ(r.framesResent, 1u);
}

TEST(SimFaults, NakOfTheHostsNthFrame)
{
    auto cfg = oneDevice(3, 1, 1);
    cfg.faults.nakHostFrame = 2; // the first command after the echo
    SimOnThread t(cfg);
    RawFrame hs, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    EXPECT_EQ(t.host.command(0xB0), NAK);
    EXPECT_TRUE(t.host.quietFor(100)); // a NAKed command is not answered
    ASSERT_TRUE(t.host.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 3);
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.naksSentByFault, 1u);
    EXPECT_EQ(r.devices.at(0).countRequests, 1u);
}

TEST(SimFaults, NoiseBeforeEveryFrameButNeverBeforeAnAck)
{
    auto cfg = oneDevice(0, 0, 0);
    cfg.faults.noiseBytes = 10;
    SimOnThread t(cfg);
    // FF 00 55 AA 13 7E 80 31, then again from the start.
    EXPECT_EQ(t.host.read(10), (Bytes{0xFF, 0x00, 0x55, 0xAA, 0x13, 0x7E, 0x80, 0x31, 0xFF, 0x00}));
    RawFrame hs, count;
    ASSERT_TRUE(t.host.readFrame(hs));
    EXPECT_EQ(t.host.skipped(), 0u);
    t.host.ack();
    t.host.write(hostFrame(hs.packet, 0x01, hs.data));
    ASSERT_EQ(t.host.readControl(), ACK);
    ASSERT_EQ(t.host.command(0xB0), ACK); // the ACK byte comes first, the noise after it
    ASSERT_TRUE(t.host.readFrame(count));
    EXPECT_EQ(t.host.skipped(), 10u);
    t.host.ack();
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    EXPECT_EQ(t.finish().result, "ok");
}

TEST(SimFaults, FragmentWritesEveryByteOnItsOwn)
{
    // A packet socket keeps write boundaries: each read returns one write.
    auto cfg = oneDevice(0, 0, 0);
    cfg.faults.fragment = true;
    SimOnThread t(cfg, SOCK_SEQPACKET);
    t.host.byteWise = true; // the device reads byte-sized pieces here too
    Bytes seen;
    for (int i = 0; i < 19; ++i) {
        Bytes piece = t.host.readOnce();
        ASSERT_EQ(piece.size(), 1u) << "write " << i;
        seen.push_back(piece[0]);
    }
    EXPECT_EQ(seen, (Bytes{0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00, 0x5E, 0xDB,
                           0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B}));
    t.host.ack();
    t.host.write(hostFrame(1, 0x01, Bytes(seen.begin() + 6, seen.end() - 1)));
    EXPECT_EQ(t.host.readOnce(), Bytes{ACK});
    t.host.write(hostFrame(1, 0x91, {0x01}));
    EXPECT_EQ(t.host.readOnce(), Bytes{ACK});
    EXPECT_EQ(t.finish().result, "ok");
}

TEST(SimFaults, DelayComesBetweenTheAckAndTheAnswer)
{
    auto cfg = oneDevice(0, 0, 0);
    cfg.faults.answerDelayMs = 150;
    SimOnThread t(cfg);
    RawFrame hs, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs)); // the handshake itself is not delayed
    const auto asked = Clock::now();
    t.host.write(hostFrame(hs.packet, 0xB0));
    EXPECT_EQ(t.host.readControl(), ACK);
    ASSERT_TRUE(t.host.readFrame(count));
    EXPECT_GE(msSince(asked), 150);
    t.host.ack();
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    EXPECT_EQ(t.finish().result, "ok");
}

TEST(SimFaults, SilentAfterNFramesAnswersNothingMore)
{
    auto cfg = oneDevice(2, 1, 1);
    cfg.faults.silentAfterFrames = 2;
    cfg.timeouts.idleMs = 300;
    SimOnThread t(cfg);
    RawFrame hs, count;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB0), ACK);
    ASSERT_TRUE(t.host.readFrame(count)); // frame 2, then silence
    t.host.ack();
    t.host.write(hostFrame(count.packet, 0xB1));
    EXPECT_TRUE(t.host.quietFor(200)); // not even an ACK
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsWentSilent, 1u);
    EXPECT_EQ(r.framesSent, 2u);
}

TEST(SimFaults, DropAfterNFramesClosesTheLink)
{
    auto cfg = oneDevice(2, 1, 1);
    cfg.faults.dropAfterFrames = 3; // the header of the first measurement
    SimOnThread t(cfg);
    RawFrame hs, count, header;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_TRUE(t.host.ask(0xB0, count));
    ASSERT_EQ(t.host.command(0xB1), ACK);
    ASSERT_TRUE(t.host.readFrame(header));
    EXPECT_TRUE(t.host.endsWithin(kWaitMs));
    const auto r = t.finish();
    EXPECT_EQ(r.linksDroppedByFault, 1u);
    EXPECT_EQ(r.measurementsHandedOver, 0u);
}

TEST(SimFaults, FloodKeepsWritingUntilStopped)
{
    auto cfg = oneDevice();
    cfg.faults.flood = true;
    SimOnThread t(cfg);
    EXPECT_EQ(t.host.read(8192).size(), 8192u);
    t.sim.stop();
    const auto r = t.finish();
    EXPECT_EQ(r.result, "stopped");
    EXPECT_GE(r.floodBytes, 8192u);
    EXPECT_EQ(r.handshakesAccepted + r.handshakesUnanswered, 0u); // no handshake at all
}

TEST(SimFaults, FloodEndsWhenTheHostCloses)
{
    auto cfg = oneDevice();
    cfg.faults.flood = true;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    lumosim::Link link{lumosim::UniqueFd(fds[1]), "socketpair"};
    lumosim::Simulator sim(cfg);
    std::thread host([&] {
        uint8_t buf[1024];
        (void)::read(fds[0], buf, sizeof buf);
        ::close(fds[0]);
    });
    JoinOnExit joiner(host);
    const auto r = sim.run(link);
    host.join();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.linksClosedByHost, 1u);
}

TEST(SimFaults, PacingHoldsTheLineRate)
{
    // 4 blocks of 255 samples: 4 x 518 bytes plus the header. At 96000 baud (104 us a
    // byte) the 2090-odd bytes need at least 218 ms; unpaced they take microseconds.
    auto cfg = oneDevice(1, 4, 255);
    cfg.faults.paceBaud = 96000;
    SimOnThread t(cfg);
    RawFrame hs, frame;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB1), ACK);
    const auto start = Clock::now();
    std::size_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(t.host.readFrame(frame));
        bytes += frame.wire.size();
        t.host.ack();
    }
    const double expectedMs = double(bytes) * 10 * 1000 / 96000;
    const long took = msSince(start);
    EXPECT_GE(took, long(expectedMs * 0.9)) << bytes << " bytes";
    EXPECT_LE(took, long(expectedMs * 10 + 1000)) << bytes << " bytes";
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
}

namespace {

// One measurement of 3 blocks of 1 sample, DIN 1234 with seed 0: a sine from phase 0.
// Header: totBlocks 3, dtime 2024-05-17 13:35:30 (0x6162D8DE), typeset 1, ns, nss 1.
Bytes header(uint16_t ns)
{
    return {0x03, 0x00, 0xDE, 0xD8, 0x62, 0x61, 0x01, uint8_t(ns), uint8_t(ns >> 8), 0x01, 0x00};
}
const Bytes kBlocks[] = {{}, {0x01, 0x00, 0x80}, {0x02, 0x20, 0x86}, {0x03, 0x31, 0x8C}};

struct MeasurementFault {
    const char *options; // the fault as given on the command line
    const char *blocks;  // "packet:block ..." after the header (packet 2)
    uint16_t ns;
    uint8_t refusedBlock; // the host answers every copy of this block with `refusal`:
    uint8_t refusal;      // NAK, or 0 for none (its next command comes instead)
    uint64_t handedOver, ackedTwice;
};

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

} // namespace

TEST(SimFaults, MeasurementFaultsOnTheWire)
{
    const MeasurementFault cases[] = {
        {"--repeat-block 2", "3:1 4:2 5:2 6:3", 3, 0, 0, 1, 0},
        {"--swap-first-blocks", "3:2 4:1 5:3", 3, 0, 0, 1, 0},
        {"--last-block-first", "3:3 4:1 5:2", 3, 0, 0, 1, 0},
        {"--extra-samples 5", "3:1 4:2 5:3", 8, 0, 0, 1, 0},
        {"--withhold-blocks 1", "3:1 4:2", 3, 0, 0, 0, 0},
        {"--repeat-frame 5", "3:1 4:2 5:3 5:3", 3, 0, 0, 1, 1}, // the ACK of the last block
        {"--swap-first-blocks --faulty-retrieval 2", "3:1 4:2 5:3", 3, 0, 0, 1, 0},
        {"", "3:1 4:2 4:2 4:2", 3, 2, NAK, 0, 0},
        {"", "3:1 4:2", 3, 2, 0, 0, 0},
    };
    for (const MeasurementFault &c : cases) {
        SCOPED_TRACE(std::string(c.options) + " / " + c.blocks);
        lumosim::Options o;
        std::string error;
        auto args = words(c.options);
        args.push_back("--pty");
        ASSERT_TRUE(lumosim::parseOptions(args, o, error)) << error;
        auto cfg = oneDevice(1, 3, 1);
        cfg.devices[0].seed = 0;
        cfg.faults = o.config.faults;
        cfg.timeouts.ackMs = kWaitMs; // no resend to a silent host within the test
        SimOnThread t(cfg);
        RawFrame hs, frame;
        ASSERT_TRUE(t.host.acceptHandshake(hs));
        ASSERT_EQ(t.host.command(0xB1), ACK);
        ASSERT_TRUE(t.host.readFrame(frame));
        EXPECT_EQ(frame.wire, hostFrame(2, 0x81, header(c.ns)));
        t.host.ack();
        for (const std::string &sent : words(c.blocks)) {
            unsigned packet = 0, block = 0;
            ASSERT_EQ(std::sscanf(sent.c_str(), "%u:%u", &packet, &block), 2);
            ASSERT_TRUE(t.host.readFrame(frame));
            EXPECT_EQ(frame.wire, hostFrame(uint16_t(packet), 0x82, kBlocks[block])) << sent;
            if (block != c.refusedBlock)
                t.host.ack();
            else if (c.refusal)
                t.host.write({c.refusal});
        }
        EXPECT_TRUE(t.host.quietFor(150)); // nothing more: the device waits for a command
        EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
        const auto r = t.finish();
        const auto &d = r.devices.at(0);
        EXPECT_EQ(r.result, "ok") << r.error;
        EXPECT_EQ(d.measurementsHandedOver, c.handedOver);
        EXPECT_EQ(d.handedOver.size(), c.handedOver);
        EXPECT_EQ(d.framesAckedTwice, c.ackedTwice);
        EXPECT_EQ(d.retrievalsAbandoned, c.refusedBlock ? 1u : 0u);
        EXPECT_EQ(d.sessionsLeftWithMeasurements, 1 - c.handedOver);
        EXPECT_EQ(d.commandsReceived.at(0x91), 1u);
    }
}

TEST(SimFaults, MoreThan256BlocksOfMoreThan255Samples)
{
    SimOnThread t(oneDevice(1, 257, 300));
    RawFrame hs, frame;
    ASSERT_TRUE(t.host.acceptHandshake(hs));
    ASSERT_EQ(t.host.command(0xB1), ACK);
    ASSERT_TRUE(t.host.readFrame(frame));
    // totBlocks 0x0101; ns 77100 keeps its low 16 bits 0x2D2C; nss 300 = 0x012C.
    EXPECT_EQ(Bytes(frame.data.begin(), frame.data.begin() + 2), (Bytes{0x01, 0x01}));
    EXPECT_EQ(Bytes(frame.data.begin() + 7, frame.data.end()), (Bytes{0x2C, 0x2D, 0x2C, 0x01}));
    t.host.ack();
    for (unsigned k = 1; k <= 257; ++k) {
        ASSERT_TRUE(t.host.readFrame(frame)) << k;
        // Length 1 + 600 + 2 = 0x025B; the block number is k's low byte.
        EXPECT_EQ(Bytes(frame.wire.begin() + 3, frame.wire.begin() + 7),
                  (Bytes{0x02, 0x5B, 0x82, uint8_t(k)}))
            << k;
        t.host.ack();
    }
    EXPECT_EQ(frame.packet, 259); // after the handshake (1) and the header (2)
    EXPECT_EQ(t.host.command(0x91, {0x01}), ACK);
    const auto r = t.finish();
    ASSERT_EQ(r.devices.at(0).handedOver.size(), 1u);
    EXPECT_EQ(r.devices.at(0).handedOver[0].samples, 77100u);
    EXPECT_EQ(r.devices.at(0).sessionsLeftWithMeasurements, 0u);
}
