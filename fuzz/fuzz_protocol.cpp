// Fuzz entry point: arbitrary device bytes, cut into arbitrary chunks, through the
// receiving side of the protocol and the commands that decode device answers.
//
// Input layout: [selector] [chunking] [device bytes...]
//   selector:  low 5 bits pick the command; bit 5 installs a stop signal (never raised),
//              which every wait then watches; bit 6 builds the log lines of the first
//              command (otherwise the log is switched off, and costly lines are never
//              built: the later commands mostly repeat the same lines); bit 7 makes
//              the host accept: a handshake, a measurement, a frame left unanswered.
//   chunking:  0 hands the bytes out as the transport is asked; otherwise each read gets
//              at most 1 to `chunking` bytes, in a pattern drawn from the input.
// Every frame the protocol writes is acknowledged at once, so commands get to their answers.
// Once the bytes are used up the device is silent: its time-outs pass on a fake clock.
#include "FakeClock.h"
#include "ScriptedTransport.h"
#include "protocol/Protocol.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {

using liblumo::Protocol;
using liblumo::test::FakeClock;
using liblumo::test::ScriptedTransport;

constexpr int kMaxRounds = 32; // commands per input; each consumes input or times out
constexpr int kPieceStride = 37;

enum Operation {
    OP_RECEIVE,
    OP_HANDSHAKE,
    OP_GET_PARAMS,
    OP_GET_STATUS,
    OP_COUNT,
    OP_RETRIEVE,
    OP_KEEP_ALIVE,
    OP_REAL_TIME,
    OP_RECEIVE_UNACKNOWLEDGED,
    OP_COUNT_OF_OPERATIONS
};
constexpr uint8_t kOperationBits = 0x1F;
constexpr uint8_t kStopSignalBit = 0x20;
constexpr uint8_t kLogBit = 0x40;
constexpr uint8_t kAcceptBit = 0x80;

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void enableLog(bool on)
{
    QLoggingCategory *category = QLoggingCategory::defaultCategory();
    for (QtMsgType type : {QtDebugMsg, QtInfoMsg, QtCriticalMsg})
        category->setEnabled(type, on);
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// The device bytes stay where the fuzzer put them (no copy per input); the chunking
// becomes a pattern of read sizes the transport hands out.
void feedInPieces(ScriptedTransport &device, const uint8_t *data, size_t size, uint8_t chunking)
{
    device.feed(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (chunking == 0)
        return;
    std::vector<int> caps(chunking);
    for (int piece = 0; piece < chunking; ++piece)
        caps[size_t(piece)] = 1 + (piece * kPieceStride + chunking) % chunking;
    device.setReadCaps(std::move(caps));
}

bool acceptWhenAsked(const QString &din, void *user)
{
    check(din.size() == 11);
    return *static_cast<const bool *>(user);
}

// The host's verdict on the frame it was left to answer.
void answerFrame(Protocol &protocol, bool accept)
{
    if (accept)
        protocol.link().acknowledgeFrame();
    else
        protocol.link().refuseFrame();
}

void runOperation(Protocol &protocol, int operation, bool accept)
{
    static auto measurement = std::make_unique<liblumo::Measurement>();
    constexpr int kTimeoutMs = 1000;
    switch (operation) {
    case OP_RECEIVE: {
        uint8_t command = 0;
        QByteArray data;
        const int result = protocol.link().receive(liblumo::LinkLayer::Expected(), command, data, kTimeoutMs, true);
        check(result == -1 || (result == data.size() && result <= liblumo::LinkLayer::kBufferSize - 7));
        break;
    }
    case OP_HANDSHAKE: {
        QString din;
        uint16_t word = 0;
        uint16_t crc = 0;
        uint8_t other = 0;
        QByteArray otherData;
        const bool ok =
            protocol.waitHandshake(din, word, crc, acceptWhenAsked, &accept, other, otherData, -1);
        check(!ok || (accept && din.size() == 11));
        break;
    }
    case OP_GET_PARAMS: {
        liblumo::DeviceParams params{};
        protocol.getDeviceParams(params, kTimeoutMs);
        break;
    }
    case OP_GET_STATUS: {
        liblumo::DeviceStatus status{};
        protocol.getDeviceStatus(status, kTimeoutMs);
        break;
    }
    case OP_COUNT:
        protocol.getAvailableMeasurement(kTimeoutMs);
        break;
    case OP_RETRIEVE: {
        int samples = 0;
        if (protocol.retrieveNextMeasurement(*measurement, kTimeoutMs, samples)) {
            check(samples >= 0 && size_t(samples) <= liblumo::kMaxSamples);
            answerFrame(protocol, accept);
        }
        break;
    }
    case OP_KEEP_ALIVE:
        protocol.sendKeepAlive(7, kTimeoutMs);
        break;
    case OP_REAL_TIME: {
        QByteArray answer;
        protocol.sendRealTimeCommand(1, QByteArray("\x01\x02", 2), answer, kTimeoutMs);
        break;
    }
    case OP_RECEIVE_UNACKNOWLEDGED: {
        uint8_t command = 0;
        QByteArray data;
        const int result = protocol.link().receive(liblumo::LinkLayer::Expected(), command, data, kTimeoutMs, false);
        check(result == -1 || (result == data.size() && result <= liblumo::LinkLayer::kBufferSize - 7));
        if (result >= 0)
            answerFrame(protocol, accept);
        break;
    }
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(discardMessage), true);
    (void)quiet;
    constexpr size_t kControlBytes = 2;
    if (size < kControlBytes)
        return 0;
    const uint8_t selector = data[0];
    const int operation = (selector & kOperationBits) % OP_COUNT_OF_OPERATIONS;
    const bool accept = (selector & kAcceptBit) != 0;
    const bool logFirst = (selector & kLogBit) != 0;

    FakeClock clock;
    ScriptedTransport device;
    device.setClock(&clock);
    device.setWaitWhenIdle(true);
    device.setAutoAck(true);
    device.setRecording(false);
    feedInPieces(device, data + kControlBytes, size - kControlBytes, data[1]);
    // On the stack: under ASan a fresh 40 KiB heap block per input costs more than most
    // inputs do.
    Protocol protocol;
    protocol.link().setTransport(&device);
    static const liblumo::com::StopSignal neverStop; // one for the run: it costs a descriptor
    if ((selector & kStopSignalBit) != 0)
        protocol.link().setStopSignal(&neverStop);
    for (int round = 0; round < kMaxRounds && !device.idle(); ++round) {
        enableLog(logFirst && round == 0);
        runOperation(protocol, operation, accept);
    }
    return 0;
}
