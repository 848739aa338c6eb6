// The device's frames and answers against bytes worked out by hand.
#include "ScriptedHost.h"
#include "Waveform.h"

using simtest::Bytes;
using simtest::RawFrame;
namespace wire = lumosim::wire;

TEST(SimWire, FrameCodecClockAndBlockNumbers)
{
    // 200 data bytes: length 202 = 0x00CA, unsigned; LRC 02^FF^FF^00^CA^82 = 4A.
    const Bytes f = wire::frame(0xFFFF, 0x82, Bytes(200, 0x00));
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{0x02, 0xFF, 0xFF, 0x00, 0xCA, 0x82}));
    EXPECT_EQ(f.size(), 207u);
    EXPECT_EQ(f.back(), 0x4A);
    EXPECT_EQ(wire::packClock({2063, 12, 31, 23, 59, 59}), 0xFF3F7EFBu); // every field full
    EXPECT_EQ(wire::dinText(4294967295u), "429-496-729"); // only the first nine digits
    EXPECT_TRUE(wire::clockValid({2024, 2, 29, 0, 0, 0}));
    for (const wire::Clock &bad :
         {wire::Clock{2023, 2, 29}, wire::Clock{2024, 4, 31}, wire::Clock{2024, 0, 1},
          wire::Clock{2064, 1, 1}, wire::Clock{2024, 1, 1, 24}})
        EXPECT_FALSE(wire::clockValid(bad)) << wire::clockText(bad);
    // The 256th block carries the block number 0; totBlocks has 16 bits.
    const auto d = simtest::commandLine("--blocks 257 --samples-per-block 1").devices.at(0);
    EXPECT_EQ(lumosim::blockPayload(d, 1, 255).at(0), 0xFF);
    EXPECT_EQ(lumosim::blockPayload(d, 1, 256).at(0), 0x00);
    EXPECT_EQ(lumosim::expectedHeader(d, 0).totBlocks, 257);
}

// A whole conversation: the handshake, every answer, and what the stored clock and
// parameters change in the next session's handshake.
TEST(SimWire, HandshakeAndAnswersOnTheWire)
{
    simtest::SimOnThread t(simtest::commandLine(
        "--din 1234 --measurements 1 --blocks 3 --samples-per-block 1 --seed 0 --sessions 2"));
    auto &host = t.host;
    RawFrame hs, f;
    // DIN 1234, clock 2024-05-17 13:45:30, word 0x0100, CRC 0x1234, packet 1.
    // LRC: 02^00^01^00^0E^01 = 0C; payload XOR = 77; 0C^77 = 7B.
    ASSERT_TRUE(host.readFrame(hs));
    EXPECT_EQ(hs.wire, (Bytes{0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00, 0x5E,
                              0xDB, 0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B}));
    host.write({simtest::ACK});
    EXPECT_EQ(host.command(0x01, hs.data), simtest::ACK); // the echo
    // Count 1 in packet 2: LRC 02^00^02^00^04^B0^01^00 = B5.
    ASSERT_TRUE(host.ask(0xB0, f));
    EXPECT_EQ(f.wire, (Bytes{0x02, 0x00, 0x02, 0x00, 0x04, 0xB0, 0x01, 0x00, 0xB5}));
    // Header: totBlocks 3, dated 10 minutes before the clock (0x6162D8DE), typeset 1,
    // ns 3, nss 1; then a sine from phase 0 (seed 0), one sample a block.
    ASSERT_TRUE(host.ask(0xB1, f));
    EXPECT_EQ(f.wire,
              simtest::hostFrame(
                  3, 0x81, {0x03, 0x00, 0xDE, 0xD8, 0x62, 0x61, 0x01, 0x03, 0x00, 0x01, 0x00}));
    for (const Bytes &block :
         {Bytes{0x01, 0x00, 0x80}, Bytes{0x02, 0x20, 0x86}, Bytes{0x03, 0x31, 0x8C}}) {
        ASSERT_TRUE(host.readFrame(f));
        EXPECT_EQ(f.wire, simtest::hostFrame(uint16_t(3 + block[0]), 0x82, block));
        host.write({simtest::ACK});
    }
    ASSERT_TRUE(host.ask(0xB1, f)); // nothing left: a header without blocks
    EXPECT_EQ(Bytes(f.data.begin(), f.data.begin() + 2), (Bytes{0x00, 0x00}));
    // 00 1C size; 32a = DIN 1234; 32b = 0x01020304; 16a = 3600 (0x0E10); clock; 1..7.
    ASSERT_TRUE(host.ask(0xA4, f));
    EXPECT_EQ(f.data, (Bytes{0x00, 0x1C, 0xD2, 0x04, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01,
                             0x10, 0x0E, 0x5E, 0xDB, 0x62, 0x61, 1,    0,    2,    0,
                             3,    0,    4,    0,    5,    0,    6,    0,    7,    0}));
    // Stored: 2025-01-02 03:04:05 and a parameter block with CRC 0xBEEF. Not stored:
    // month 13, a short date, a block one byte short.
    Bytes block(94, 0x11);
    block[92] = 0xEF;
    block[93] = 0xBE;
    for (const auto &command :
         {std::make_pair(0xA1, Bytes{25, 1, 2, 3, 4, 5, 4}), std::make_pair(0xA2, block),
          std::make_pair(0xA1, Bytes{25, 13, 2, 3, 4, 5, 4}), std::make_pair(0xA1, Bytes{25, 1}),
          std::make_pair(0xA2, Bytes(93, 0xFF))})
        EXPECT_EQ(host.command(uint8_t(command.first), command.second), simtest::ACK);
    ASSERT_TRUE(host.ask(0xA3, f));
    EXPECT_EQ(simtest::le16(f.data, 0), 0x5E00); // the size, big-endian
    EXPECT_EQ(Bytes(f.data.begin() + 2, f.data.end()), block);
    const Bytes counter = {'0', '0', '0', '0', '0', '0', '0', '0', '4', '2'};
    for (const Bytes &echoed : {counter, Bytes{'1', '2', 'x'}}) { // the second is malformed
        ASSERT_TRUE(host.ask(0xF1, f, echoed));
        EXPECT_EQ(f.wire, simtest::hostFrame(f.packet, 0xF1, echoed));
    }
    ASSERT_TRUE(host.ask(0x92, f, {0x07, 0xAA}));
    EXPECT_EQ(f.data, (Bytes{0x07, 0xAA}));
    EXPECT_EQ(host.command(0x91, {0x00}), simtest::ACK); // an odd argument, still sleeps

    // 2025-01-02 03:04:05 packs to 25<<26 | 1<<22 | 2<<17 | 3<<12 | 4<<6 | 5 = 0x64443105.
    ASSERT_TRUE(host.readFrame(hs));
    EXPECT_EQ(hs.data, (Bytes{0xD2, 0x04, 0, 0, 0x05, 0x31, 0x44, 0x64, 0x00, 0x01, 0xEF, 0xBE}));
    host.write({simtest::ACK});
    EXPECT_EQ(host.command(0x01, hs.data), simtest::ACK);
    EXPECT_EQ(host.command(0x91, {0x01}), simtest::ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok") << r.error;
    const auto &d = r.devices.at(0);
    EXPECT_EQ(d.dateTimesWritten.at(0), "19010203040504");
    EXPECT_EQ(d.keepAliveCounters, (std::vector<uint64_t>{42}));
    EXPECT_EQ(d.malformedCommands, 5u);
}
