// Link layer: framing, acknowledgements and the transport waits.
#include "protocol/Protocol.h"

#include "helpers/ByteOrder.h"
#include "helpers/Logging.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <vector>

namespace liblumo {

namespace {

constexpr int kDefaultReadTimeoutMs = 1000; // what a transport waits for a time-out of -1
constexpr int kReadFailed = -1;

// The whole frame for one command, ready for a single write.
std::vector<uint8_t> buildFrame(uint16_t packet, uint8_t command, const QByteArray &data)
{
    const int dataLength = data.size();
    std::vector<uint8_t> out(size_t(dataLength + frame::kFrameOverhead));
    out[0] = kStx;
    helpers::writeU16BE(packet, &out[frame::kPacketOffset]);
    helpers::writeU16BE(uint16_t(dataLength + frame::kLengthBias), &out[frame::kLengthOffset]);
    out[frame::kCommandOffset] = command;
    std::copy(data.constBegin(), data.constEnd(), out.begin() + frame::kDataOffset);
    const int lrcPosition = frame::kDataOffset + dataLength;
    out[size_t(lrcPosition)] = frame::lrc(out.data(), lrcPosition);
    return out;
}

} // namespace

bool Protocol::abortRequested() const
{
    return abortFlag != nullptr && abortFlag->load(std::memory_order_relaxed);
}

int Protocol::readFromTransport(uint8_t *buffer, int size, int timeoutMs)
{
    if (abortFlag == nullptr) {
        transport->setTimeout(timeoutMs);
        return transport->read(buffer, size);
    }
    // A stop request must end the wait within a slice, so never hand the transport more.
    const int total = timeoutMs < 0 ? kDefaultReadTimeoutMs : timeoutMs;
    TimeOut deadline(total);
    deadline.start();
    int slice = std::min(total, kAbortSliceMs);
    for (;;) {
        if (abortRequested())
            return kReadFailed;
        const int64_t sliceStart = TimeOut::nowMs();
        transport->setTimeout(slice);
        const int got = transport->read(buffer, size);
        if (got != 0)
            return got;
        // A transport that gave up well before its slice knows nothing more is coming:
        // asking again would only spin.
        if (TimeOut::nowMs() - sliceStart < slice / 2)
            return 0;
        slice = std::min(deadline.remaining(), kAbortSliceMs);
        if (slice <= 0)
            return 0;
    }
}

int Protocol::send(uint8_t command, const QByteArray &data)
{
    LUMO_INFO << "Protocol::send command:" << frame::hexByte(command);
    // The length field holds the data length plus 2 in 16 bits: longer data cannot be framed.
    if (transport == nullptr || data.size() > frame::kMaxDataLength) {
        LUMO_INFO << "Protocol::send ERROR!";
        return 0;
    }
    const std::vector<uint8_t> frameBytes = buildFrame(nrPacket, command, data);
    const int frameSize = int(frameBytes.size());
    for (int attempt = 0; attempt < kSendAttempts && !abortRequested(); ++attempt) {
        transport->discardInput();
        if (transport->write(frameBytes.data(), frameSize) != frameSize) {
            LUMO_INFO << "Protocol::send error!";
            LUMO_INFO << "Protocol::send ERROR!";
            return 0;
        }
        if (waitAck())
            return 1;
        LUMO_INFO << "Protocol::send waitAck error!";
    }
    LUMO_INFO << "Protocol::send ERROR!";
    return 0;
}

bool Protocol::waitAck()
{
    const int64_t started = TimeOut::nowMs();
    const int got = transport != nullptr ? readFromTransport(rxBuffer, 1, kAckTimeoutMs) : -1;
    const int64_t elapsed = TimeOut::nowMs() - started;
    const bool acknowledged = got == 1 && rxBuffer[0] == kAck;
    const auto readBytes = [&] {
        return QByteArray::fromRawData(reinterpret_cast<const char *>(rxBuffer), got == 1 ? 1 : 0)
            .toHex();
    };
    if (acknowledged) {
        LUMO_INFO << "Protocol::waitAck OK:" << readBytes() << "rxTime:" << elapsed << "ms";
    } else {
        LUMO_INFO << "Protocol::waitAck ERROR:" << readBytes() << "rxTime:" << elapsed << "ms";
    }
    return acknowledged;
}

bool Protocol::sendControlByte(uint8_t byte)
{
    if (transport == nullptr)
        return false;
    transport->discardInput();
    txBuffer[0] = byte;
    return transport->write(txBuffer, 1) == 1;
}

bool Protocol::sendAck()
{
    LUMO_INFO << "Protocol::sendAck";
    return sendControlByte(kAck);
}

bool Protocol::sendNak()
{
    LUMO_INFO << "Protocol::sendNak";
    return sendControlByte(kNak);
}

bool Protocol::isConnected()
{
    return transport != nullptr && transport->isConnected();
}

void Protocol::disconnect()
{
    if (transport != nullptr)
        transport->disconnect();
}

void Protocol::getSpare(uint16_t &number, QString &text) const
{
    number = spareNumber;
    text = spareText;
}

void Protocol::resetSpare()
{
    spareNumber = 0;
    spareText.clear();
}

} // namespace liblumo
