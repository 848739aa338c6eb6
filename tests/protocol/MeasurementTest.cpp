// Measurement count and retrieval.
#include "ProtocolFixture.h"

namespace liblumo::test {
namespace {

class Measurements : public ProtocolTest {
protected:
    Measurements() { device.setAutoAck(true); }

    // totBlocks, clock 2024-03-05 14:07:09 (0x60CAE1C9), typeset 7, ns 0x0102, nss 0x0304.
    static QByteArray header(uint16_t totBlocks)
    {
        return deviceFrame(0x10, 0x81,
                           QByteArray(1, char(totBlocks & 0xFF)) + char(totBlocks >> 8) +
                               hex("C9 E1 CA 60 07 02 01 04 03"));
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

TEST_F(Measurements, HeaderWithoutBlocksEndsAtOnce)
{
    record->samples[0] = 0xABCD;
    device.feed(header(0));
    device.feed(block(1, 1, 5)); // not part of this measurement
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000));
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
    EXPECT_EQ(record->samples[0], 0xABCD);
    EXPECT_EQ(acks(device), 1);
    EXPECT_GT(device.pendingBytes(), 0);
}

TEST_F(Measurements, BlocksAreStoredOneAfterAnother)
{
    device.feed(header(2));
    device.feed(block(1, 100, 1000));
    device.feed(block(2, 3, 7));
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000));
    EXPECT_EQ(acks(device), 3);
    EXPECT_EQ(record->samples[0], 1000);
    EXPECT_EQ(record->samples[99], 1099);
    EXPECT_EQ(record->samples[100], 7);
    EXPECT_EQ(record->samples[102], 9);
    EXPECT_EQ(record->samples[103], 0);
}

TEST_F(Measurements, IncompleteLastSampleIsNotDecoded)
{
    record->samples[2] = 0x5555;
    device.feed(header(1));
    device.feed(deviceFrame(0x11, 0x82, hex("01 10 00 20 00 FF"))); // two samples and a half
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000));
    EXPECT_EQ(record->samples[0], 0x0010);
    EXPECT_EQ(record->samples[1], 0x0020);
    EXPECT_EQ(record->samples[2], 0x5555);
}

TEST_F(Measurements, OtherCommandDuringRetrievalFailsIt)
{
    device.feed(header(2));
    device.feed(block(1, 2, 0));
    device.feed(deviceFrame(0x12, 0xB0, hex("01 00")));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));
    EXPECT_EQ(acks(device), 3); // the stray frame was still acknowledged
}

TEST_F(Measurements, MissingAnswerOrRequestFailsTheRetrieval)
{
    device.feed(header(2));
    device.feed(block(1, 2, 0));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000)); // block 2 never comes
    device.setAutoAck(false);
    device.feed(header(0));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));
}

TEST_F(Measurements, MalformedHeadersAndBlocksFail)
{
    device.feed(deviceFrame(0x10, 0x81, hex("01 00 C9 E1 CA 60 07 02 01 04"))); // 10 bytes
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));

    device.feed(block(0, 2, 0)); // a block before any header
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));

    device.feed(header(1));
    device.feed(deviceFrame(0x11, 0x82, QByteArray())); // no block number
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));

    device.feed(header(1));
    device.feed(block(1, 256, 0)); // more samples than a block can count
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));
}

TEST_F(Measurements, MoreThan255BlocksFails)
{
    device.feed(header(256));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));
}

TEST_F(Measurements, SamplesBeyondTheRecordFailTheRetrieval)
{
    // Blocks that never reach the announced last number would run past 65536 samples.
    device.feed(header(255));
    for (int i = 0; i < 258; ++i)
        device.feed(block(1, 255, uint16_t(i)));
    EXPECT_FALSE(protocol->retriveNextMeasurement(*record, 1000));
    EXPECT_EQ(record->samples[257 * 255 - 1], uint16_t(256 + 254)); // the last block that fit
    EXPECT_EQ(device.pendingBytes(), 0);
}

TEST_F(Measurements, LargestMeasurementFits)
{
    device.feed(header(255));
    for (int i = 1; i <= 255; ++i)
        device.feed(block(uint8_t(i), 255, uint16_t(i * 300)));
    EXPECT_TRUE(protocol->retriveNextMeasurement(*record, 1000));
    EXPECT_EQ(record->samples[254 * 255], uint16_t(255 * 300));
    EXPECT_EQ(record->samples[255 * 255 - 1], uint16_t(255 * 300 + 254));
}

} // namespace
} // namespace liblumo::test
