// Measurement retrieval.
#include "ProtocolFixture.h"

#include <QLoggingCategory>

namespace liblumo::test {

// totBlocks, clock 2024-03-05 14:07:09 (0x60CAE1C9), typeset 7, ns 0x0102, nss 0x0304.
QByteArray header(uint16_t totBlocks)
{
    return deviceFrame(0x10, 0x81,
                       QByteArray(1, char(totBlocks & 0xFF)) + char(totBlocks >> 8) +
                           hex("C9 E1 CA 60 07 02 01 04 03"));
}

// A block whose samples count up from first.
QByteArray block(uint8_t number, int samples, uint16_t first)
{
    QByteArray data(1, char(number));
    for (int i = 0; i < samples; ++i)
        data.append(char((first + i) & 0xFF)).append(char(uint16_t(first + i) >> 8));
    return deviceFrame(0x11, 0x82, data);
}

QByteArray blocks(int first, int last, int samples)
{
    QByteArray out;
    for (int i = first; i <= last; ++i)
        out += block(uint8_t(i), samples, uint16_t(i * 300));
    return out;
}

class Measurements : public ProtocolTest {
public:
    Measurements() { device.setAutoAck(true); }
    bool retrieve() { return protocol->retrieveNextMeasurement(*record, 1000, samples); }

    std::unique_ptr<Measurement> record = std::make_unique<Measurement>();
    int samples = -1;
};

TEST_F(Measurements, HeaderIsDecodedLoggedAndZeroFillsTheRecord)
{
    LogCapture log;
    QLoggingCategory::setFilterRules("default.debug=false"); // no trace: the data line shows
    std::fill(std::begin(record->samples), std::end(record->samples), uint16_t(0xABCD));
    device.feed(header(1));
    device.feed(block(1, 2, 5));
    EXPECT_TRUE(retrieve());
    EXPECT_EQ(device.readSizes(), (std::vector<int>{1, 6, 12, 6, 6})); // ACK, headers, rests
    EXPECT_EQ(device.writes().front(), hex("02 00 00 00 02 B1 B1"));
    const timestamp_t &t = record->dtime;
    EXPECT_EQ(t.packed, 0x60CAE1C9u);
    EXPECT_EQ((std::vector<int>{t.year, t.month, t.day, t.hour, t.min, t.sec}),
              (std::vector<int>{24, 3, 5, 14, 7, 9}));
    EXPECT_EQ((std::vector<int>{int(record->typeset), record->ns, record->nss, samples}),
              (std::vector<int>{7, 0x0102, 0x0304, 2}));
    EXPECT_EQ(record->samples[1], 6);
    EXPECT_EQ(std::count(std::begin(record->samples), std::end(record->samples), 0), 65534);
    const std::string text = logText(log);
    for (const char *line :
         {"ms->dtime: year: 24 month: 3 day: 5 hour: 14 min: 7 sec: 9\n", "ms->typeset: 7\n",
          "ms->ns: 258\n", "ms->nss: 772\n", "totBlocks: 1\nProtocol::sendAck\n", "rxResult: 5\n",
          "receive data: \"0105000600\"\n", "ss: 2  block: 1 %T\n",
          "Protocol::retrieveNextMeasurement complete - result: true"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

struct RetrievalCase {
    const char *name;
    QByteArray input;
    int samples;        // samples that arrived; -1: the retrieval fails
    QByteArray answers; // control bytes the library wrote after its request, in order
    std::vector<std::pair<int, uint16_t>> expectedSamples; // (index, value)
    Bytes later = {}; // what the device sends after the library's answers, piece by piece
};

class Retrievals : public Measurements, public ::testing::WithParamInterface<RetrievalCase> {};

TEST_P(Retrievals, AcceptOnlyWhatFollowsInSequence)
{
    const RetrievalCase &c = GetParam();
    device.feed(c.input);
    for (const QByteArray &piece : c.later)
        device.feed(piece);
    EXPECT_EQ(retrieve(), c.samples >= 0);
    EXPECT_EQ(samples, std::max(c.samples, 0));
    EXPECT_EQ(device.wire().mid(7), c.answers);
    for (const auto &[index, value] : c.expectedSamples)
        EXPECT_EQ(record->samples[index], value) << "sample " << index;
}

const QByteArray A = hex("06"), N = hex("15");

// Every frame but the last is acknowledged: the last is left for the caller to acknowledge
// once the host kept it. Out of sequence, too big or not a measurement frame: refused. 256
// blocks of 256 samples fill the record, their numbers wrap to 0. A missing block: the
// device fell silent, nothing to refuse.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Measurements, Retrievals, ::testing::Values(
    RetrievalCase{"HeaderWithoutBlocks", header(0), 0, "", {}},
    RetrievalCase{"TwoBlocks", header(2) + block(1, 100, 1000) + block(2, 3, 7), 103, A + A,
                  {{0, 1000}, {99, 1099}, {100, 7}, {102, 9}, {103, 0}}},
    RetrievalCase{"HalfSampleIsDropped", header(1) + deviceFrame(0x12, 0x82, hex("01 10 00 20 00 FF")), 2, A,
                  {{0, 0x10}, {1, 0x20}, {2, 0}}},
    RetrievalCase{"RepeatedBlockIsAcknowledgedNotStored",
                  header(2) + block(1, 2, 10) + block(1, 2, 10) + block(2, 1, 99), 3, A + A + A,
                  {{1, 11}, {2, 99}}},
    RetrievalCase{"RepeatedFrameIsAcknowledgedAgain", header(1) + header(1) + block(1, 1, 4), 1,
                  A + A, {{0, 4}}},
    RetrievalCase{"FullRecordOf256Blocks", header(256) + blocks(1, 256, 256), 65536,
                  QByteArray(256, 0x06), {{65280, uint16_t(256 * 300)}, {65535, uint16_t(256 * 300 + 255)}}},
    RetrievalCase{"OneSampleBeyondTheRecord", header(257) + blocks(1, 256, 256) + block(1, 1, 0),
                  -1, QByteArray(257, 0x06) + N, {}},
    RetrievalCase{"BlockOutOfSequence", header(3) + block(2, 1, 0), -1, A + N + N, {}, {block(2, 1, 0)}},
    // A block before the last is read whole in one read, the size of the block before; what
    // comes with a damaged one is dropped with it.
    RetrievalCase{"DamagedBlockAndWhatCameWithIt", header(3) + block(1, 4, 0), 6, A + A + N + A,
                  {{3, 3}, {4, 9}, {5, 5}}, {block(2, 1, 7).left(9) + '\0' + hex("02 00 11 00 03"),
                  block(2, 1, 9) + block(3, 1, 5)}},
    RetrievalCase{"LastBlockFirst", header(3) + block(3, 1, 0), -1, A + N, {}},
    RetrievalCase{"OtherCommand", header(2) + block(1, 2, 0) + deviceFrame(0x12, 0xB0, hex("01 00")), -1, A + A + N, {}},
    RetrievalCase{"ShortHeader", deviceFrame(0x12, 0x81, hex("01 00 C9 E1 CA 60 07 02 01 04")), -1, N, {}},
    RetrievalCase{"BlockBeforeHeader", block(1, 2, 0), -1, N, {}},
    RetrievalCase{"SecondHeader", header(2) + header(1), -1, A + N, {}},
    RetrievalCase{"BlockWithoutNumber", header(1) + deviceFrame(0x12, 0x82, hex("")), -1, A + N, {}},
    RetrievalCase{"MissingBlock", header(2) + block(1, 2, 0), -1, A + A, {}}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

// A kept measurement is acknowledged, and so is its repeat (the device missed that ACK), which
// is not delivered; a refused one is refused until the device falls quiet.
TEST_F(Measurements, KeptOrRefusedMeasurement)
{
    device.feed(header(0));
    ASSERT_TRUE(retrieve());
    EXPECT_TRUE(protocol->link().acknowledgeFrame());
    EXPECT_EQ(device.wire().mid(7), hex("06"));
    device.feed(header(0) + deviceFrame(0x20, 0xB0, hex("00 00")));
    EXPECT_EQ(receive(), 2);
    EXPECT_EQ(command, 0xB0);
    EXPECT_EQ(device.wire().mid(7), hex("06 06 06"));
    device.feed(header(0));
    ASSERT_TRUE(retrieve());
    device.feed(header(0)); // the device tries again after each NAK
    device.feed(header(0));
    protocol->link().refuseFrame();
    EXPECT_EQ(device.pendingBytes(), 0);
    EXPECT_EQ(device.wire().mid(17), hex("15 15 15"));
}

} // namespace liblumo::test
