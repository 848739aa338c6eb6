// The device's frame codec against frames worked out by hand.
#include "Wire.h"
#include "Waveform.h"

#include <gtest/gtest.h>

using lumosim::Bytes;
namespace wire = lumosim::wire;

TEST(SimWire, HandshakeFrameForDin1234MatchesHandComputedBytes)
{
    // DIN 1234 = 0x000004D2, clock 2024-05-17 13:45:30 packs to 0x6162DB5E, word 0x0100,
    // CRC 0x1234, packet 1. LRC: 02^00^01^00^0E^01 = 0C; payload XOR = 77; 0C^77 = 7B.
    const wire::Clock clock{2024, 5, 17, 13, 45, 30};
    const Bytes payload = wire::handshakePayload(1234, wire::packClock(clock), 0x0100, 0x1234);
    const Bytes expected = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0xD2, 0x04, 0x00, 0x00,
                            0x5E, 0xDB, 0x62, 0x61, 0x00, 0x01, 0x34, 0x12, 0x7B};
    EXPECT_EQ(wire::frame(1, wire::kHandshake, payload), expected);
}

TEST(SimWire, FramesWithoutAndWithDataAndBigEndianHeader)
{
    // No data: 7 bytes, length 2. LRC 02^12^34^00^02^B0 = 96.
    EXPECT_EQ(wire::frame(0x1234, 0xB0, {}), (Bytes{0x02, 0x12, 0x34, 0x00, 0x02, 0xB0, 0x96}));
    // Count answer 258 (02 01 little-endian). LRC 02^05^04^B0^02^01 = B0.
    EXPECT_EQ(wire::frame(5, 0xB0, {0x02, 0x01}),
              (Bytes{0x02, 0x00, 0x05, 0x00, 0x04, 0xB0, 0x02, 0x01, 0xB0}));
    // 200 data bytes: length 202 = 0x00CA, unsigned; the frame is 207 bytes.
    Bytes f = wire::frame(0xFFFF, 0x82, Bytes(200, 0x00));
    ASSERT_EQ(f.size(), 207u);
    EXPECT_EQ(f[1], 0xFF);
    EXPECT_EQ(f[2], 0xFF);
    EXPECT_EQ(f[3], 0x00);
    EXPECT_EQ(f[4], 0xCA);
    // 02^FF^FF^00^CA^82 = 4A (the zero data does not change it).
    EXPECT_EQ(f.back(), 0x4A);
}

TEST(SimWire, PackedClockAndDinText)
{
    EXPECT_EQ(wire::packClock({2024, 5, 17, 13, 45, 30}), 0x6162DB5Eu);
    const wire::Clock c = wire::unpackClock(0x6162DB5E);
    EXPECT_EQ(wire::clockText(c), "2024-05-17T13:45:30");
    // 2063-12-31 23:59:59: every field at its largest.
    EXPECT_EQ(wire::packClock({2063, 12, 31, 23, 59, 59}), 0xFF3F7EFBu);
    EXPECT_EQ(wire::dinText(1234), "000-001-234");
    EXPECT_EQ(wire::dinText(123456789), "123-456-789");
    EXPECT_EQ(wire::dinText(4294967295u), "429-496-729"); // only the first nine digits
}

TEST(SimWire, ClockValidityAndCalendarArithmetic)
{
    EXPECT_TRUE(wire::clockValid({2024, 2, 29, 0, 0, 0}));
    EXPECT_FALSE(wire::clockValid({2023, 2, 29, 0, 0, 0}));
    EXPECT_FALSE(wire::clockValid({2024, 4, 31, 0, 0, 0}));
    EXPECT_FALSE(wire::clockValid({2024, 0, 1, 0, 0, 0}));
    EXPECT_FALSE(wire::clockValid({2064, 1, 1, 0, 0, 0})); // six bits of year
    EXPECT_FALSE(wire::clockValid({2024, 1, 1, 24, 0, 0}));
    EXPECT_EQ(wire::clockText(wire::addSeconds({2024, 1, 1, 0, 5, 0}, -600)),
              "2023-12-31T23:55:00");
    EXPECT_EQ(wire::clockText(wire::addSeconds({2024, 2, 28, 23, 59, 59}, 1)),
              "2024-02-29T00:00:00");
}

TEST(SimWire, MeasurementHeaderAndBlockPayloads)
{
    lumosim::SimDevice d = lumosim::defaultDevice(1234);
    d.measurements = 3;
    d.blocks = 2;
    d.samplesPerBlock = 3;
    // Measurement 0 is dated 3 x 10 minutes before the clock: 2024-05-17 13:15:30, which
    // packs to 0x6162D3DE; typeset 1, ns 6, nss 3.
    EXPECT_EQ(lumosim::headerPayload(lumosim::expectedHeader(d, 0)),
              (Bytes{0x02, 0x00, 0xDE, 0xD3, 0x62, 0x61, 0x01, 0x06, 0x00, 0x03, 0x00}));
    // Measurement 1 is a ramp from seed + 1000 = 2234 = 0x08BA; block 2 holds samples 3..5.
    EXPECT_EQ(lumosim::blockPayload(d, 1, 2), (Bytes{0x02, 0xBD, 0x08, 0xBE, 0x08, 0xBF, 0x08}));
}

TEST(SimWire, TwoHundredFiftySixthBlockCarriesNumberZero)
{
    lumosim::SimDevice d = lumosim::defaultDevice(7);
    d.blocks = 256;
    d.samplesPerBlock = 1;
    EXPECT_EQ(lumosim::blockPayload(d, 1, 255).at(0), 0xFF);
    EXPECT_EQ(lumosim::blockPayload(d, 1, 256).at(0), 0x00);
    EXPECT_EQ(lumosim::expectedHeader(d, 0).totBlocks, 256);
}
