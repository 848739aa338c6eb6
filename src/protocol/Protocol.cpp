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

constexpr int kReadFailed = -1;
constexpr int kDefaultReadTimeoutMs = 1000; // what a transport waits for a time-out of -1

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

void Protocol::setTransport(com::ComAbstract *value)
{
    transport = value;
    // A new link starts with a clean slate: nothing of the last one is a repeat here.
    badFrames = 0;
    acknowledgedSize = 0;
    if (transport != nullptr && stopSignal != nullptr)
        transport->setStopSignal(stopSignal);
}

void Protocol::setStopSignal(const com::StopSignal *signal)
{
    stopSignal = signal;
    if (transport != nullptr)
        transport->setStopSignal(signal);
}

bool Protocol::abortRequested() const
{
    return stopSignal != nullptr && stopSignal->isRaised();
}

int Protocol::readFromTransport(uint8_t *buffer, int size, int timeoutMs)
{
    if (abortRequested())
        return kReadFailed;
    if (receiveDeadlineMs > 0) {
        const int64_t left = receiveDeadlineMs - TimeOut::nowMs();
        if (left <= 0)
            return 0;
        const int wanted = timeoutMs < 0 ? kDefaultReadTimeoutMs : timeoutMs;
        timeoutMs = int(std::min<int64_t>(wanted, left));
    }
    transport->setTimeout(timeoutMs);
    return transport->read(buffer, size);
}

int Protocol::send(uint8_t command, const QByteArray &data)
{
    LUMO_INFO << "Protocol::send command:" << frame::hexByte(command);
    // The length field holds the data length plus 2 in 16 bits: longer data cannot be framed.
    if (transport == nullptr || data.size() > frame::kMaxDataLength) {
        LUMO_INFO << "Protocol::send ERROR!";
        return 0;
    }
    // A new command begins a new answer: no later frame is a repeat of an earlier one.
    acknowledgedSize = 0;
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

bool Protocol::readExactly(uint8_t *buffer, int size, int64_t deadlineMs)
{
    while (size > 0) {
        const int64_t left = deadlineMs - TimeOut::nowMs();
        const int got = left > 0 ? readFromTransport(buffer, size, int(left)) : 0;
        if (got <= 0)
            return false;
        buffer += got;
        size -= got;
    }
    return true;
}

// A frame where an ACK was awaited is the rest of an earlier answer (a repeat the device
// sent before it saw our answer): read it whole and drop it, so that no byte inside it is
// taken for the acknowledgement. The start byte is at rxBuffer[0]. False when the frame
// did not arrive whole in time.
bool Protocol::skipStaleFrame(int64_t deadlineMs)
{
    if (!readExactly(rxBuffer + 1, frame::kHeaderSize - 1, deadlineMs))
        return false;
    const int dataLength =
        uint16_t(helpers::readU16BE(rxBuffer + frame::kLengthOffset) - frame::kLengthBias);
    constexpr int kRoom = kBufferSize - frame::kDataOffset;
    for (int rest = dataLength + 1; rest > 0; rest -= kRoom) {
        if (!readExactly(rxBuffer + frame::kDataOffset, std::min(rest, kRoom), deadlineMs))
            return false;
    }
    LUMO_INFO << "Protocol::waitAck stale frame dropped - command:"
              << frame::hexByte(rxBuffer[frame::kCommandOffset]);
    return true;
}

bool Protocol::waitAck()
{
    const int64_t started = TimeOut::nowMs();
    const int64_t deadline = started + kAckTimeoutMs;
    int got = -1;
    if (transport != nullptr) {
        for (;;) {
            const int64_t left = deadline - TimeOut::nowMs();
            got = left > 0 ? readFromTransport(rxBuffer, 1, int(left)) : 0;
            if (got != 1 || rxBuffer[0] != kStx || !skipStaleFrame(deadline))
                break;
        }
    }
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

// The ACK goes out at once: a repeat of the frame it answers is recognised when read, so
// nothing needs to be dropped first. A NAK answers a damaged frame whose rest may still be
// arriving: that rest is dropped, the device sends the whole frame again.
bool Protocol::sendControlByte(uint8_t byte)
{
    if (transport == nullptr)
        return false;
    if (byte == kNak)
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
    if (badInputLog.allow())
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
