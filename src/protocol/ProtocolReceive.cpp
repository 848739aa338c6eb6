// Link layer, receiving side: assemble one frame from the transport, check its LRC and
// answer it with ACK or NAK.
//
// The transport is asked for exactly what the frame can still need (the header first,
// then the data and the LRC), so a frame costs two or three reads and nothing beyond its
// end is consumed: the next frame stays with the transport for the next call.
#include "protocol/Protocol.h"

#include "helpers/ByteOrder.h"
#include "helpers/Logging.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <cstring>

namespace liblumo {

int Protocol::nextReadSize(const RxProgress &rx) const
{
    if (!rx.inFrame || rx.held < frame::kHeaderSize)
        return frame::kHeaderSize - rx.held;
    return rx.dataLength + frame::kFrameOverhead - rx.held;
}

// Hunting for a start byte: the bytes just read sit at rxBuffer[0]. Noise before the start
// byte is dropped; the start byte and whatever follows it move to the front.
void Protocol::takeHuntedBytes(RxProgress &rx, int got, QByteArray &data)
{
    const auto *start = static_cast<const uint8_t *>(std::memchr(rxBuffer, kStx, size_t(got)));
    if (start == nullptr) {
        rx.noise += got;
        return;
    }
    const int skipped = int(start - rxBuffer);
    rx.noise += skipped;
    rx.noiseBeforeStart = rx.noise;
    rx.inFrame = true;
    rx.held = got - skipped;
    if (skipped > 0)
        std::memmove(rxBuffer, start, size_t(rx.held));
    nrPacket = 0;
    data.clear();
}

// Reads and drops the rest of a frame that does not fit the receive buffer, so that no
// byte of it is later mistaken for the start of a frame.
bool Protocol::drainFrameRest(int remaining, int timeoutMs)
{
    while (remaining > 0) {
        const int got = readFromTransport(rxBuffer, std::min(remaining, kBufferSize), timeoutMs);
        if (got <= 0)
            return false;
        remaining -= got;
    }
    return true;
}

bool Protocol::noteBadInput()
{
    ++badFrames;
    if (!badInputLog.allow())
        return false;
    if (const int held = badInputLog.suppressedSinceLast())
        LUMO_CRITICAL << "Protocol::receive bad-input log lines suppressed:" << held;
    return true;
}

int Protocol::failReceive(const RxProgress &rx, QByteArray &data, int timeoutMs, int64_t startMs)
{
    const int64_t elapsed = TimeOut::nowMs() - startMs;
    // The caller sees the data bytes of an unfinished frame, as far as they arrived.
    if (rx.inFrame && rx.dataLength > 0 && rx.held > frame::kDataOffset)
        data = QByteArray(reinterpret_cast<const char *>(rxBuffer + frame::kDataOffset),
                          std::min(rx.held - frame::kDataOffset, rx.dataLength));
    const bool bytesHeld = rx.held + rx.noise > 0;
    if (bytesHeld && (!rx.inFrame || rx.noiseBeforeStart == 0) && badInputLog.allow())
        LUMO_CRITICAL << "Protocol::receive FORMAT ERROR!"
                      << "rxTime:" << elapsed << "ms";
    if (timeoutMs != -1)
        LUMO_CRITICAL << "Protocol::receive ERROR!"
                      << "rxTime:" << elapsed << "ms";
    return -1;
}

// Drops a frame too long for the receive buffer and asks for its repetition, as for a
// damaged frame. False when the rest of it never arrived.
bool Protocol::rejectOversizeFrame(RxProgress &rx, uint8_t &command, int timeoutMs)
{
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive frame too long - length:" << rx.dataLength;
    if (!drainFrameRest(rx.dataLength + frame::kFrameOverhead - rx.held, timeoutMs))
        return false;
    command = 0;
    rx = RxProgress();
    sendNak();
    return true;
}

// A whole frame is held: true when its LRC is right (it is kept as the frame just
// received); otherwise it is answered with NAK and reception starts over.
bool Protocol::checkFrame(RxProgress &rx, uint8_t &command, QByteArray &data, int64_t startMs)
{
    const int lrcPosition = rx.dataLength + frame::kDataOffset;
    const uint8_t computed = frame::lrc(rxBuffer, lrcPosition);
    const uint8_t received = rxBuffer[lrcPosition];
    if (computed == received) {
        badFrames = 0;
        receivedSize = lrcPosition + 1;
        std::memcpy(receivedFrame, rxBuffer, size_t(receivedSize));
        data = QByteArray(reinterpret_cast<const char *>(rxBuffer + frame::kDataOffset),
                          rx.dataLength);
        lastRxTimeMs = TimeOut::nowMs() - startMs;
        return true;
    }
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive bad LRC:" << frame::hexByte(computed)
                      << "rxLRC:" << frame::hexByte(received);
    command = 0;
    rx = RxProgress();
    sendNak();
    return false;
}

bool Protocol::isRepeatOfAcknowledged(int frameSize) const
{
    return acknowledgedSize == frameSize &&
           std::memcmp(acknowledgedFrame, rxBuffer, size_t(frameSize)) == 0;
}

int Protocol::receiveFrame(uint8_t &command, QByteArray &data, int timeoutMs, bool quiet)
{
    command = 0;
    data.clear();
    int64_t startMs = TimeOut::nowMs();
    RxProgress rx;
    // A quiet receive logs no failure: its time-out is the expected end.
    const int failureTimeoutMs = quiet ? -1 : timeoutMs;
    if (transport == nullptr)
        return failReceive(rx, data, failureTimeoutMs, startMs);

    for (;;) {
        if (tooManyBadFrames()) {
            LUMO_INFO << "Protocol::receive too many bad frames in a row:" << badFrames;
            return -1;
        }
        const int got = readFromTransport(rxBuffer + rx.held, nextReadSize(rx), timeoutMs);
        if (got <= 0) // failed, aborted, or the device stayed silent for the whole time-out
            return quiet ? -1 : failReceive(rx, data, failureTimeoutMs, startMs);

        if (!rx.inFrame) {
            takeHuntedBytes(rx, got, data);
            // A run of noise as long as the buffer holds no frame: give up rather than
            // read forever.
            if (!rx.inFrame && rx.noise >= kBufferSize) {
                noteBadInput();
                return failReceive(rx, data, failureTimeoutMs, startMs);
            }
        } else {
            rx.held += got;
        }

        if (rx.held > frame::kPacketOffset + 1)
            nrPacket = uint16_t(helpers::readU16BE(rxBuffer + frame::kPacketOffset));
        if (rx.held < frame::kHeaderSize)
            continue;

        rx.dataLength =
            uint16_t(helpers::readU16BE(rxBuffer + frame::kLengthOffset) - frame::kLengthBias);
        command = rxBuffer[frame::kCommandOffset];
        if (rx.dataLength + frame::kFrameOverhead > kBufferSize) {
            if (!rejectOversizeFrame(rx, command, timeoutMs))
                return failReceive(rx, data, failureTimeoutMs, startMs);
            startMs = TimeOut::nowMs();
            continue;
        }
        if (rx.held < rx.dataLength + frame::kFrameOverhead)
            continue;
        const int frameSize = rx.dataLength + frame::kFrameOverhead;
        // The device missed our ACK and sent the same frame again: it has been taken
        // already, so it is only acknowledged again.
        if (isRepeatOfAcknowledged(frameSize)) {
            LUMO_INFO << "Protocol::receive repeated frame acknowledged again - nrPacket:"
                      << nrPacket;
            sendAck();
            command = 0;
            rx = RxProgress();
            startMs = TimeOut::nowMs();
            continue;
        }
        if (checkFrame(rx, command, data, startMs))
            return int(data.size());
        startMs = TimeOut::nowMs();
    }
}

void Protocol::logReceived(uint8_t command, const QByteArray &data) const
{
    LUMO_INFO << "Protocol::receive command:" << frame::hexByte(command) << "nrPacket:" << nrPacket
              << "rxTime:" << lastRxTimeMs << "ms";
    LUMO_INFO << "Protocol::receive data:" << data.toHex().toUpper();
}

int Protocol::receive(uint8_t &command, QByteArray &data, int timeoutMs)
{
    const int result = receiveFrame(command, data, timeoutMs, false);
    if (result < 0)
        return result;
    // The handshake's answer depends on the host's decision: waitHandshake gives it.
    if (command != CMD_HANDSHAKE)
        acknowledgeFrame();
    logReceived(command, data);
    return result;
}

int Protocol::receiveUnacknowledged(uint8_t &command, QByteArray &data, int timeoutMs)
{
    const int result = receiveFrame(command, data, timeoutMs, false);
    if (result >= 0)
        logReceived(command, data);
    return result;
}

bool Protocol::acknowledgeFrame()
{
    std::memcpy(acknowledgedFrame, receivedFrame, size_t(receivedSize));
    acknowledgedSize = receivedSize;
    return sendAck();
}

void Protocol::refuseFrame()
{
    LUMO_INFO << "Protocol::refuseFrame - nrPacket:" << nrPacket;
    sendNak();
    // Whatever else the device sends now belongs to what was refused: it is refused too,
    // until the device gives up and falls quiet.
    const int64_t bound = TimeOut::nowMs() + kRefuseBoundMs;
    uint8_t command = 0;
    QByteArray data;
    while (TimeOut::nowMs() < bound && !abortRequested()) {
        if (receiveFrame(command, data, kRefuseQuietMs, true) < 0)
            return;
        LUMO_INFO << "Protocol::refuseFrame frame refused - command:" << frame::hexByte(command)
                  << "nrPacket:" << nrPacket;
        sendNak();
    }
}

} // namespace liblumo
