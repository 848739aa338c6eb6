// Measurement count and retrieval.
#include "ProtocolFixture.h"

#include <algorithm>

namespace liblumo::test {
namespace {

class Measurements : public ProtocolTest {
public:
    Measurements() { device.setAutoAck(true); }

    // totBlocks, clock 2024-03-05 14:07:09 (0x60CAE1C9), typeset 7, ns 0x0102, nss 0x0304.
    static QByteArray header(uint16_t totBlocks)
    {
        return deviceFrame(0x10, 0x81,
                           QByteArray(1, char(totBlocks & 0xFF)) + char(totBlocks >> 8) +
                               hex("C9 E1 CA 60 07 02 01 04 03"));
    }
    static QByteArray deviceFrameOf(uint8_t command, const char *data)
    {
        return deviceFrame(0x12, command, hex(data));
    }
    // A block whose samples count up from first.
    static QByteArray block(uint8_t number, int samples, uint16_t first)
    {
        QByteArray data(1, char(number));
        for (int i = 0; i < samples; ++i) {
            const auto value = uint16_t(first + i);
            data.append(char(value & 0xFF)).append(char(value >> 8));
        }
        return deviceFrame(0x11, 0x82, data);
    }
    static int acks(const ScriptedTransport &device)
    {
        int count = 0;
        for (const QByteArray &bytes : device.writes())
            count += bytes == hex("06") ? 1 : 0;
        return count;
    }

    std::unique_ptr<Measurement> record = std::make_unique<Measurement>();
};

QByteArray block_(uint8_t number, int samples, uint16_t first)
{
    return Measurements::block(number, samples, first);
}

TEST_F(Measurements, CountIsLittleEndian)
{
    device.feed(hex("02 00 00 00 04 B0 02 01 B5"));
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 258);
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 B0 B0"));
}

TEST_F(Measurements, CountFailsOnShortWrongOrMissingAnswers)
{
    device.feed(deviceFrame(1, 0xB0, hex("02")));
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 0xFFFF);
    device.feed(deviceFrame(1, 0xB1, hex("02 00")));
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 0xFFFF);
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 0xFFFF);
    device.setAutoAck(false);
    EXPECT_EQ(protocol->getAvailableMeasurement(1000), 0xFFFF);
}

TEST_F(Measurements, HeaderIsDecodedAndZeroFillsTheRecord)
{
    std::fill(std::begin(record->samples), std::end(record->samples), uint16_t(0xABCD));
    device.feed(header(1));
    device.feed(block(1, 2, 5));
    int samples = -1;
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000, samples));
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 B1 B1"));
    EXPECT_EQ(record->dtime.packed, 0x60CAE1C9u);
    EXPECT_EQ(record->dtime.year, 24);
    EXPECT_EQ(record->dtime.month, 3);
    EXPECT_EQ(record->dtime.day, 5);
    EXPECT_EQ(record->dtime.hour, 14);
    EXPECT_EQ(record->dtime.min, 7);
    EXPECT_EQ(record->dtime.sec, 9);
    EXPECT_EQ(record->typeset, 7u);
    EXPECT_EQ(record->ns, 0x0102);
    EXPECT_EQ(record->nss, 0x0304);
    EXPECT_EQ(samples, 2);
    EXPECT_EQ(record->samples[1], 6);
    // Nothing of what the record held before shows through.
    EXPECT_EQ(std::count(std::begin(record->samples), std::end(record->samples), 0), 65534);
}

// One retrieval: the frames the device sends, and what the library must make of them.
struct RetrievalCase {
    const char *name;
    std::vector<QByteArray> frames;
    bool ok;
    int samples;         // samples that arrived (when ok)
    const char *answers; // control bytes the library wrote after its request, in order
    std::vector<std::pair<int, uint16_t>> expectedSamples; // (index, value)
};

class Retrievals : public Measurements, public ::testing::WithParamInterface<RetrievalCase> {};

QByteArray blocks(int first, int last, int samples)
{
    QByteArray out;
    for (int i = first; i <= last; ++i)
        out += block_(uint8_t(i), samples, uint16_t(i * 300));
    return out;
}

TEST_P(Retrievals, AcceptOnlyWhatFollowsInSequence)
{
    const RetrievalCase &c = GetParam();
    for (const QByteArray &frame : c.frames)
        device.feed(frame);
    int samples = -1;
    EXPECT_EQ(protocol->retriveNextMeasurement(*record, 1000, samples), c.ok);
    if (c.ok) {
        EXPECT_EQ(samples, c.samples);
    }
    QByteArray answers;
    for (std::size_t i = 1; i < device.writes().size(); ++i)
        answers += device.writes()[i];
    if (c.answers != nullptr) { // long cases are counted in their own test
        EXPECT_EQ(answers, hex(c.answers));
    }
    for (const auto &[index, value] : c.expectedSamples)
        EXPECT_EQ(record->samples[index], value) << "sample " << index;
}

const QByteArray kRepeatedHeader = Measurements::header(1);

INSTANTIATE_TEST_SUITE_P(
    Measurements, Retrievals,
    ::testing::Values(
        // The last frame is left for the caller to acknowledge once the host kept it.
        RetrievalCase{"HeaderWithoutBlocks", {Measurements::header(0)}, true, 0, "", {}},
        RetrievalCase{"TwoBlocks",
                      {Measurements::header(2), block_(1, 100, 1000), block_(2, 3, 7)},
                      true,
                      103,
                      "06 06",
                      {{0, 1000}, {99, 1099}, {100, 7}, {102, 9}, {103, 0}}},
        RetrievalCase{
            "HalfSampleIsDropped",
            {Measurements::header(1), Measurements::deviceFrameOf(0x82, "01 10 00 20 00 FF")},
            true,
            2,
            "06",
            {{0, 0x10}, {1, 0x20}, {2, 0}}},
        RetrievalCase{"BlockBiggerThan255Samples",
                      {Measurements::header(1), block_(1, 300, 1)},
                      true,
                      300,
                      "06",
                      {{299, 300}}},
        RetrievalCase{
            "RepeatedBlockIsAcknowledgedNotStored",
            {Measurements::header(2), block_(1, 2, 10), block_(1, 2, 10), block_(2, 1, 99)},
            true,
            3,
            "06 06 06",
            {{1, 11}, {2, 99}}},
        RetrievalCase{"RepeatedFrameIsAcknowledgedAgain",
                      {kRepeatedHeader, kRepeatedHeader, block_(1, 1, 4)},
                      true,
                      1,
                      "06 06",
                      {{0, 4}}},
        // 256 blocks of 255 samples: the block numbers wrap to 0 and the record holds them.
        RetrievalCase{"TwoHundredFiftySixBlocks",
                      {Measurements::header(256), blocks(1, 256, 255)},
                      true,
                      65280,
                      nullptr,
                      {{255 * 255, uint16_t(256 * 300)}, {65279, uint16_t(256 * 300 + 254)}}},
        // Out of sequence, too big, or not a measurement frame: refused, never acknowledged.
        RetrievalCase{"BlockOutOfSequence",
                      {Measurements::header(3), block_(2, 1, 0), block_(2, 1, 0)},
                      false,
                      0,
                      "06 15 15",
                      {}},
        RetrievalCase{
            "LastBlockFirst", {Measurements::header(3), block_(3, 1, 0)}, false, 0, "06 15", {}},
        RetrievalCase{"SamplesBeyondTheRecord",
                      {Measurements::header(300), blocks(1, 258, 255)},
                      false,
                      0,
                      nullptr,
                      {}},
        RetrievalCase{
            "OtherCommand",
            {Measurements::header(2), block_(1, 2, 0), Measurements::deviceFrameOf(0xB0, "01 00")},
            false,
            0,
            "06 06 15",
            {}},
        RetrievalCase{"ShortHeader",
                      {Measurements::deviceFrameOf(0x81, "01 00 C9 E1 CA 60 07 02 01 04")},
                      false,
                      0,
                      "15",
                      {}},
        RetrievalCase{"BlockBeforeHeader", {block_(1, 2, 0)}, false, 0, "15", {}},
        RetrievalCase{"SecondHeader",
                      {Measurements::header(2), Measurements::header(1)},
                      false,
                      0,
                      "06 15",
                      {}},
        RetrievalCase{"BlockWithoutNumber",
                      {Measurements::header(1), Measurements::deviceFrameOf(0x82, "")},
                      false,
                      0,
                      "06 15",
                      {}},
        // The device falls silent: nothing to refuse.
        RetrievalCase{
            "MissingBlock", {Measurements::header(2), block_(1, 2, 0)}, false, 0, "06 06", {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Measurements, LongRetrievalsAcknowledgeEveryFrameButTheLast)
{
    device.feed(header(256));
    device.feed(blocks(1, 256, 255));
    int samples = 0;
    ASSERT_TRUE(protocol->retriveNextMeasurement(*record, 1000, samples));
    EXPECT_EQ(acks(device), 256);
    device.feed(header(300));
    device.feed(blocks(1, 258, 255));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000, samples));
    // 257 blocks of 255 fit the record; the 258th is refused.
    EXPECT_EQ(acks(device), 256 + 1 + 257);
    EXPECT_EQ(device.writes().back(), hex("15"));
}

TEST_F(Measurements, KeptMeasurementIsAcknowledgedAndItsRepeatToo)
{
    device.feed(header(0));
    int samples = 0;
    ASSERT_TRUE(protocol->retriveNextMeasurement(*record, 1000, samples));
    EXPECT_EQ(acks(device), 0);
    EXPECT_TRUE(protocol->acknowledgeFrame());
    EXPECT_EQ(acks(device), 1);
    // The device missed that ACK and sends the header again: acknowledged, not delivered.
    device.feed(header(0));
    device.feed(deviceFrame(0x20, 0xB0, hex("00 00")));
    uint8_t command = 0;
    QByteArray data;
    EXPECT_EQ(protocol->receive(command, data, 1000), 2);
    EXPECT_EQ(command, 0xB0);
    EXPECT_EQ(acks(device), 3);
}

TEST_F(Measurements, RefusedMeasurementIsRefusedUntilTheDeviceFallsQuiet)
{
    device.feed(header(0));
    int samples = 0;
    ASSERT_TRUE(protocol->retriveNextMeasurement(*record, 1000, samples));
    device.feed(header(0)); // the device tries again after each NAK
    device.feed(header(0));
    protocol->refuseFrame();
    EXPECT_EQ(device.pendingBytes(), 0);
    EXPECT_EQ(device.wire().right(3), hex("15 15 15"));
    EXPECT_EQ(acks(device), 0);
}

} // namespace
} // namespace liblumo::test
