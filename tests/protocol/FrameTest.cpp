// The frame codec against hand-computed byte vectors.
#include "protocol/Frame.h"
#include "ProtocolFixture.h"

namespace liblumo::test {

using protocol::FrameScan;

// Where the next frame stands: noise before its start byte, whole or not, its LRC; a
// length field below 2 wraps to a frame longer than any buffer.
TEST(Frame, BuildsAFrameAndScanFindsTheNextOne)
{
    EXPECT_EQ(protocol::buildFrame(0x1234, 0xF1, {}), hex("02 12 34 00 02 F1 D7"));
    EXPECT_EQ(protocol::buildFrame(5, 0xA4, hex("01 02")), hex("02 00 05 00 04 A4 01 02 A4"));
    const struct {
        const char *bytes;
        FrameScan::Status status;
        int start, frameSize;
    } cases[] = {
        {"", FrameScan::NoStart, 0, 0},
        {"FF 00 41", FrameScan::NoStart, 3, 0},
        {"02 00 05 00 04 A4 01 02 A4", FrameScan::Complete, 0, 9},
        {"02 00 05 00 04 A4 01 02 FE", FrameScan::BadLrc, 0, 9},
        {"02 00 05 00 04 A4 01", FrameScan::Incomplete, 0, 9},
        {"02 00 05 00 04", FrameScan::Incomplete, 0, 0},
        {"FF 00 41 02 00 05 00 04 A4 01 02 A4", FrameScan::Complete, 3, 9},
        {"02 00 05 00 04 A4 01 02 A4 02 12 34 00 02 F1 D7", FrameScan::Complete, 0, 9},
        {"02 00 09 00 05 92 11 02 33 BC", FrameScan::Complete, 0, 10}, // a start byte inside
        {"02 00 00 00 02 B0 B0", FrameScan::Complete, 0, 7},
        {"02 00 01 00 00 B0", FrameScan::Incomplete, 0, 65534 + 7},
        {"02 00 01 00 01 B0", FrameScan::Incomplete, 0, 65535 + 7},
        {"02 00 01 FF FF B0", FrameScan::Incomplete, 0, 65533 + 7},
    };
    for (const auto &c : cases) {
        const QByteArray bytes = hex(c.bytes);
        const FrameScan scan =
            protocol::scanFrame(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size());
        EXPECT_EQ(scan.status, c.status) << c.bytes;
        EXPECT_EQ(scan.start, c.start) << c.bytes;
        EXPECT_EQ(scan.frameSize, c.frameSize) << c.bytes;
    }
}

} // namespace liblumo::test
