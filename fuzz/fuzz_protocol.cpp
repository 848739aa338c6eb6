// Fuzz entry point: arbitrary device bytes, cut into arbitrary chunks, through the
// receiving side of the protocol and the commands that decode device answers.
//
// Input layout: [operation] [chunking] [device bytes...]
//   operation: low 3 bits pick the command; bit 7 makes the host accept a handshake.
//   chunking:  0 hands the bytes out as the transport is asked; otherwise reads are cut
//              into pieces of 1 to `chunking` bytes in a pattern drawn from the input.
// Every frame the protocol writes is acknowledged at once, so commands get to their answers.
#include "ScriptedTransport.h"
#include "protocol/Protocol.h"

#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

using liblumo::Protocol;
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
    OP_COUNT_OF_OPERATIONS
};
constexpr uint8_t kAcceptBit = 0x80;

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void feedInPieces(ScriptedTransport &device, const uint8_t *data, size_t size, uint8_t chunking)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    if (chunking == 0) {
        device.feed(bytes);
        return;
    }
    int offset = 0;
    for (int piece = 0; offset < bytes.size(); ++piece) {
        const int length = 1 + (piece * kPieceStride + chunking) % chunking;
        device.feed(bytes.mid(offset, length));
        offset += length;
    }
}

bool acceptWhenAsked(const QString &din, void *user)
{
    check(din.size() == 11);
    return *static_cast<const bool *>(user);
}

void runOperation(Protocol &protocol, int operation, bool accept)
{
    static auto measurement = std::make_unique<liblumo::Measurement>();
    constexpr int kTimeoutMs = 1000;
    switch (operation) {
    case OP_RECEIVE: {
        uint8_t command = 0;
        QByteArray data;
        const int result = protocol.receive(command, data, kTimeoutMs);
        check(result == -1 || (result == data.size() && result <= Protocol::kBufferSize - 7));
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
        if (protocol.retriveNextMeasurement(*measurement, kTimeoutMs, samples))
            protocol.acknowledgeFrame();
        break;
    }
    case OP_KEEP_ALIVE:
        protocol.sendKeepAlive(7, kTimeoutMs);
        break;
    case OP_REAL_TIME: {
        QByteArray answer;
        protocol.sentRealTimeCommand(1, QByteArray("\x01\x02", 2), answer, kTimeoutMs);
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
    const int operation = (selector & 0x7F) % OP_COUNT_OF_OPERATIONS;
    const bool accept = (selector & kAcceptBit) != 0;

    ScriptedTransport device;
    device.setAutoAck(true);
    feedInPieces(device, data + kControlBytes, size - kControlBytes, data[1]);
    auto protocol = std::make_unique<Protocol>();
    protocol->setTransport(&device);
    for (int round = 0; round < kMaxRounds && !device.idle(); ++round)
        runOperation(*protocol, operation, accept);
    return 0;
}
