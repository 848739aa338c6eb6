// Measurement retrieval: the count of stored measurements, then one measurement at a time
// as a header frame followed by numbered data-block frames.
#include "protocol/Protocol.h"

#include "helpers/ByteOrder.h"
#include "helpers/Logging.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <cstring>

namespace liblumo {

namespace {

constexpr int kCountAnswerSize = 2;

// Header payload, little-endian.
constexpr int kHeaderPayloadSize = 11;
constexpr int kTotBlocksOffset = 0;
constexpr int kDtimeOffset = 2;
constexpr int kTypesetOffset = 6;
constexpr int kNsOffset = 7;
constexpr int kNssOffset = 9;

// Data block: block number, then samples of 2 bytes each.
constexpr int kBlockNumberSize = 1;
constexpr int kSampleSize = 2;
// Block numbers are one byte on the wire: they are compared in 8 bits, so a measurement
// may have more than 255 blocks.
constexpr int kBlockNumberMask = 0xFF;

// What one retrieval has taken in so far.
struct Retrieval {
    bool headerSeen = false;
    int totBlocks = 0;
    int blocksTaken = 0;
    int samplesStored = 0; // each block's samples follow those of the blocks before it
};

// What becomes of a frame of the measurement.
enum class Verdict {
    Next,     // accepted and acknowledged: more frames follow
    Repeat,   // a repeat of the previous block: acknowledged again, not stored again
    Complete, // accepted and the measurement is whole: its frame is left unanswered
    Refused,  // cannot be accepted: the retrieval fails
};

// The header zero-fills the record, so no earlier measurement shows through.
Verdict takeHeader(const QByteArray &data, Measurement &measurement, Retrieval &retrieval)
{
    if (retrieval.headerSeen) {
        LUMO_INFO << "Protocol::receiveMeasurement second header";
        return Verdict::Refused;
    }
    if (data.size() < kHeaderPayloadSize) {
        LUMO_INFO << "Protocol::receiveMeasurement short header - length:" << data.size();
        return Verdict::Refused;
    }
    const uint8_t *in = frame::bytes(data);
    std::memset(&measurement, 0, sizeof measurement);
    retrieval.headerSeen = true;
    retrieval.totBlocks = helpers::readU16LE(in + kTotBlocksOffset);
    measurement.dtime.packed = uint32_t(helpers::readU32LE(in + kDtimeOffset));
    helpers::timestamp2Time(&measurement.dtime);
    measurement.typeset = in[kTypesetOffset];
    measurement.ns = uint16_t(helpers::readU16LE(in + kNsOffset));
    measurement.nss = uint16_t(helpers::readU16LE(in + kNssOffset));

    frame::logClock("Protocol::receiveMeasuremen - ms->dtime:", measurement.dtime);
    LUMO_INFO << "Protocol::receiveMeasuremen - ms->typeset:" << measurement.typeset;
    LUMO_INFO << "Protocol::receiveMeasuremen - ms->ns:" << measurement.ns;
    LUMO_INFO << "Protocol::receiveMeasuremen - ms->nss:" << measurement.nss;
    LUMO_INFO << "Protocol::receiveMeasurement totBlocks:" << retrieval.totBlocks;
    if (retrieval.totBlocks == 0) {
        LUMO_INFO << "Protocol::receiveMeasuremen - NO DATA!!!!!!!!!!!!!!!!!!";
        return Verdict::Complete;
    }
    return Verdict::Next;
}

// Stores one block's complete samples after those of the blocks before it.
Verdict takeBlock(const QByteArray &data, Measurement &measurement, Retrieval &retrieval,
                  int64_t waitStartedMs)
{
    if (!retrieval.headerSeen || data.size() < kBlockNumberSize) {
        LUMO_INFO << "Protocol::receiveMeasurement block without header or number";
        return Verdict::Refused;
    }
    const uint8_t *in = frame::bytes(data);
    const int block = in[0];
    const int samples = (data.size() - kBlockNumberSize) / kSampleSize;
    LUMO_INFO << "Protocol::receiveMeasurement ss:" << samples << " block:" << block
              << "rxTime:" << TimeOut::nowMs() - waitStartedMs << "ms";
    const int previous = retrieval.blocksTaken & kBlockNumberMask;
    if (retrieval.blocksTaken > 0 && block == previous) {
        LUMO_INFO << "Protocol::receiveMeasurement repeated block:" << block;
        return Verdict::Repeat;
    }
    const int expected = (retrieval.blocksTaken + 1) & kBlockNumberMask;
    if (block != expected) {
        LUMO_INFO << "Protocol::receiveMeasurement block out of sequence - block:" << block
                  << "expected:" << expected;
        return Verdict::Refused;
    }
    if (retrieval.samplesStored + samples > int(kMaxSamples)) {
        LUMO_INFO << "Protocol::receiveMeasurement too many samples";
        return Verdict::Refused;
    }
    const uint8_t *sample = in + kBlockNumberSize;
    uint16_t *out = measurement.samples + retrieval.samplesStored;
    for (int i = 0; i < samples; ++i, sample += kSampleSize)
        out[i] = uint16_t(helpers::readU16LE(sample));
    retrieval.samplesStored += samples;
    ++retrieval.blocksTaken;
    return retrieval.blocksTaken == retrieval.totBlocks ? Verdict::Complete : Verdict::Next;
}

} // namespace

uint16_t Protocol::getAvailableMeasurement(int timeoutMs)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::getAvailableMeasurement send request";
    if (!linkLayer.send(CMD_GET_AVAILABLE_MEASUREMENT, QByteArray()))
        return kCountFailed;
    LUMO_INFO << "Protocol::getAvailableMeasurement wait response";
    uint8_t command = 0;
    QByteArray answer;
    if (linkLayer.receive({CMD_GET_AVAILABLE_MEASUREMENT}, command, answer, timeoutMs, true) < 0 ||
        answer.size() < kCountAnswerSize)
        return kCountFailed;
    const auto count = uint16_t(helpers::readU16LE(frame::bytes(answer)));
    LUMO_INFO << "Protocol::getAvailableMeasurement nMeasurement:" << qint16(count);
    return count;
}

bool Protocol::retrieveNextMeasurement(Measurement &measurement, int timeoutMs, int &samples)
{
    LUMO_INFO << log::separator();
    LUMO_INFO << "Protocol::retrieveNextMeasurement send request";
    samples = 0;
    const bool ok = linkLayer.send(CMD_RETRIEVE_NEXT_MEASUREMENT, QByteArray()) &&
                    receiveMeasurement(measurement, timeoutMs, samples);
    LUMO_INFO << "Protocol::retrieveNextMeasurement complete - result:" << ok;
    return ok;
}

bool Protocol::receiveMeasurement(Measurement &measurement, int timeoutMs, int &samples)
{
    Retrieval retrieval;
    QByteArray data;
    for (;;) {
        LUMO_INFO << "Protocol::receiveMeasurement wait next command";
        const int64_t waitStartedMs = TimeOut::nowMs();
        uint8_t command = 0;
        // A block before the last is as long as the one before it: read whole at once.
        const bool moreBlocks = retrieval.blocksTaken + 1 < retrieval.totBlocks;
        linkLayer.expectFrameSize(
            retrieval.blocksTaken > 0 && moreBlocks ? linkLayer.receivedFrameSize() : 0);
        const int result = linkLayer.receive({CMD_MEASUREMENT_HEADER, CMD_MEASUREMENT_BLOCK},
                                             command, data, timeoutMs, false);
        linkLayer.expectFrameSize(0);
        LUMO_INFO << "Protocol::receiveMeasurement rxResult:" << result;
        if (result < 0)
            break;
        Verdict verdict = Verdict::Refused;
        if (command == CMD_MEASUREMENT_HEADER)
            verdict = takeHeader(data, measurement, retrieval);
        else if (command == CMD_MEASUREMENT_BLOCK)
            verdict = takeBlock(data, measurement, retrieval, waitStartedMs);

        if (verdict == Verdict::Complete) {
            samples = retrieval.samplesStored;
            return true;
        }
        if (verdict == Verdict::Refused) {
            linkLayer.refuseFrame();
            break;
        }
        if (!linkLayer.acknowledgeFrame())
            break;
    }
    LUMO_INFO << "Protocol::receiveMeasurement ERROR!!!!";
    return false;
}

} // namespace liblumo
