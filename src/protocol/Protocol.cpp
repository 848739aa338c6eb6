// Link layer: framing, acknowledgements and the transport waits.
#include "protocol/Protocol.h"

#include "helpers/Logging.h"
#include "protocol/Frame.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <cstring>

namespace liblumo {

namespace {

constexpr int kReadFailed = -1;
constexpr int kDefaultReadTimeoutMs = 1000; // what a transport waits for a time-out of -1

} // namespace

void Protocol::setTransport(com::ComAbstract *value)
{
    transport = value;
    // A new link starts with a clean slate: nothing of the last one is a repeat here.
    badFrames = 0;
    acknowledgedSize = 0;
    rxHeld = 0;
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

int Protocol::readIntoBuffer(int size, int timeoutMs)
{
    size = std::min(size, kBufferSize - rxHeld);
    const int got = readFromTransport(rxBuffer + rxHeld, size, timeoutMs);
    if (got > 0)
        rxHeld += got;
    return got;
}

void Protocol::takeFromBuffer(int count)
{
    if (count <= 0)
        return;
    rxHeld -= count;
    if (rxHeld > 0)
        std::memmove(rxBuffer, rxBuffer + count, size_t(rxHeld));
}

// Reads until the buffer holds at least size bytes; false when the deadline passes first.
bool Protocol::fillBufferTo(int size, int64_t deadlineMs)
{
    while (rxHeld < size) {
        const int64_t left = deadlineMs - TimeOut::nowMs();
        if (left <= 0 || readIntoBuffer(size - rxHeld, int(left)) <= 0)
            return false;
    }
    return true;
}

// Drops the next count bytes: those held first, then as many more as are read. Each read
// waits timeoutMs, or (deadlineMs > 0) until the deadline. False when a read ends first.
bool Protocol::dropBytes(int count, int timeoutMs, int64_t deadlineMs)
{
    for (;;) {
        const int taken = std::min(count, rxHeld);
        takeFromBuffer(taken);
        count -= taken;
        if (count == 0)
            return true;
        if (deadlineMs > 0) {
            const int64_t left = deadlineMs - TimeOut::nowMs();
            if (left <= 0)
                return false;
            timeoutMs = int(left);
        }
        if (readIntoBuffer(count, timeoutMs) <= 0)
            return false;
    }
}

int Protocol::send(uint8_t command, const QByteArray &data)
{
    LUMO_INFO << "Protocol::send command:" << frame::hexByte(command);
    // The length field holds the data length plus 2 in 16 bits: longer data cannot be
    // framed, and its frame comes back empty.
    const QByteArray frameBytes = protocol::buildFrame(nrPacket, command, data);
    if (transport == nullptr || frameBytes.isEmpty()) {
        LUMO_INFO << "Protocol::send ERROR!";
        return 0;
    }
    // A new command begins a new answer: no later frame is a repeat of an earlier one.
    acknowledgedSize = 0;
    const int frameSize = frameBytes.size();
    for (int attempt = 0; attempt < kSendAttempts && !abortRequested(); ++attempt) {
        // Whatever arrived before the frame goes out belongs to an earlier answer.
        rxHeld = 0;
        transport->discardInput();
        if (transport->write(frame::bytes(frameBytes), frameSize) != frameSize) {
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

// A frame where an ACK was awaited is the rest of an earlier answer (a repeat the device
// sent before it saw our answer): taken whole and dropped, so that no byte inside it is
// taken for the acknowledgement. Its start byte is at rxBuffer[0]. False when it did not
// arrive whole in time.
bool Protocol::skipStaleFrame(int64_t deadlineMs)
{
    if (!fillBufferTo(protocol::kHeaderSize, deadlineMs)) {
        rxHeld = 0; // read, so gone, like the rest that never came
        return false;
    }
    const uint8_t command = protocol::commandOf(rxBuffer);
    if (!dropBytes(protocol::dataLengthOf(rxBuffer) + protocol::kFrameOverhead, 0, deadlineMs))
        return false;
    LUMO_INFO << "Protocol::waitAck stale frame dropped - command:" << frame::hexByte(command);
    return true;
}

bool Protocol::waitAck()
{
    const int64_t started = TimeOut::nowMs();
    const int64_t deadline = started + kAckTimeoutMs;
    int byte = -1; // the byte read in the end, -1 for none
    while (transport != nullptr && fillBufferTo(1, deadline)) {
        byte = rxBuffer[0];
        if (byte != kStx) {
            takeFromBuffer(1);
            break;
        }
        if (!skipStaleFrame(deadline))
            break;
        byte = -1;
    }
    const int64_t elapsed = TimeOut::nowMs() - started;
    const bool acknowledged = byte == kAck;
    const QByteArray read = byte < 0 ? QByteArray() : QByteArray(1, char(byte)).toHex();
    if (acknowledged) {
        LUMO_INFO << "Protocol::waitAck OK:" << read << "rxTime:" << elapsed << "ms";
    } else {
        LUMO_INFO << "Protocol::waitAck ERROR:" << read << "rxTime:" << elapsed << "ms";
    }
    return acknowledged;
}

// The ACK goes out at once: a repeat of the frame it answers is recognised when read, so
// nothing needs to be dropped first, and what arrived after the frame stays for the next
// receive. A NAK answers a damaged frame whose rest may still be arriving: that rest is
// dropped, held or not, and the device sends the whole frame again.
bool Protocol::sendControlByte(uint8_t byte)
{
    if (transport == nullptr)
        return false;
    if (byte == kNak) {
        rxHeld = 0;
        transport->discardInput();
    }
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

bool Protocol::isInputWaiting()
{
    return rxHeld > 0 || (transport != nullptr && transport->isDataAvailable());
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
