// Link layer, receiving side: take one frame from the receive buffer, reading from the
// transport when the buffer does not hold a whole frame yet, check its LRC and answer it
// with ACK or NAK.
//
// A read asks for what the frame still needs (the header, then the rest), or for a whole
// block when its size is known from the block before, so a block of a measurement costs
// one read. Bytes a read brings past a frame's end stay in the buffer, in order, for the
// next call.
#include "protocol/Protocol.h"

#include "helpers/Logging.h"
#include "protocol/Frame.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <cstring>

namespace liblumo {

// Drops the bytes before a start byte (or all of them when there is none) and counts them.
void Protocol::dropNoise(RxProgress &rx, int count)
{
    rx.noise += count;
    takeFromBuffer(count);
}

// What the frame being assembled still needs: its header first (the whole expected frame
// when its size is known), then the rest.
int Protocol::nextReadSize() const
{
    if (rxHeld >= protocol::kHeaderSize)
        return protocol::dataLengthOf(rxBuffer) + protocol::kFrameOverhead - rxHeld;
    return std::max(protocol::kHeaderSize, expectedFrameSize) - rxHeld;
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
    if (rx.inFrame && rxHeld > protocol::kDataOffset)
        data =
            QByteArray(reinterpret_cast<const char *>(rxBuffer + protocol::kDataOffset),
                       std::min(rxHeld - protocol::kDataOffset, protocol::dataLengthOf(rxBuffer)));
    const bool bytesHeld = rxHeld + rx.noise + rx.dropped > 0;
    // The unfinished frame was read: it is gone, and the next frame starts afresh.
    rxHeld = 0;
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
bool Protocol::rejectOversizeFrame(int frameSize, int timeoutMs)
{
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive frame too long - length:"
                      << frameSize - protocol::kFrameOverhead;
    if (!dropBytes(frameSize, timeoutMs, 0))
        return false;
    sendNak();
    return true;
}

// A whole frame with the right LRC: kept as the frame just received and taken from the
// buffer.
void Protocol::acceptFrame(int frameSize, uint8_t &command, QByteArray &data, int64_t startMs)
{
    badFrames = 0;
    command = protocol::commandOf(rxBuffer);
    nrPacket = protocol::packetOf(rxBuffer);
    receivedSize = frameSize;
    std::memcpy(receivedFrame, rxBuffer, size_t(frameSize));
    data = QByteArray(reinterpret_cast<const char *>(rxBuffer + protocol::kDataOffset),
                      frameSize - protocol::kFrameOverhead);
    lastRxTimeMs = TimeOut::nowMs() - startMs;
    takeFromBuffer(frameSize);
}

// A whole frame with a wrong LRC is answered with NAK; the device sends it again.
void Protocol::rejectBadLrc(int frameSize, uint8_t &command)
{
    const int lrcPosition = frameSize - 1;
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive bad LRC:"
                      << frame::hexByte(protocol::lrc(rxBuffer, lrcPosition))
                      << "rxLRC:" << frame::hexByte(rxBuffer[lrcPosition]);
    command = 0;
    sendNak();
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
        const protocol::FrameScan scan = protocol::scanFrame(rxBuffer, rxHeld);
        dropNoise(rx, scan.start);
        if (scan.status == protocol::FrameScan::NoStart) {
            // A run of noise as long as the buffer holds no frame: give up rather than
            // read forever.
            if (rx.noise >= kBufferSize) {
                noteBadInput();
                return failReceive(rx, data, failureTimeoutMs, startMs);
            }
        } else {
            if (!rx.inFrame)
                rx.noiseBeforeStart = rx.noise;
            rx.inFrame = true;
            nrPacket = rxHeld > protocol::kPacketOffset + 1 ? protocol::packetOf(rxBuffer) : 0;
            if (scan.frameSize > 0)
                command = protocol::commandOf(rxBuffer);
        }

        if (scan.frameSize > kBufferSize) {
            rx.dropped = rxHeld;
            if (!rejectOversizeFrame(scan.frameSize, timeoutMs))
                return failReceive(rx, data, failureTimeoutMs, startMs);
            command = 0;
            rx = RxProgress();
            startMs = TimeOut::nowMs();
            continue;
        }
        if (scan.status == protocol::FrameScan::Complete ||
            scan.status == protocol::FrameScan::BadLrc) {
            // The device missed our ACK and sent the same frame again: it has been taken
            // already, so it is only acknowledged again.
            if (isRepeatOfAcknowledged(scan.frameSize)) {
                LUMO_INFO << "Protocol::receive repeated frame acknowledged again - nrPacket:"
                          << nrPacket;
                takeFromBuffer(scan.frameSize);
                sendAck();
            } else if (scan.status == protocol::FrameScan::Complete) {
                acceptFrame(scan.frameSize, command, data, startMs);
                return int(data.size());
            } else {
                rejectBadLrc(scan.frameSize, command);
            }
            command = 0;
            rx = RxProgress();
            startMs = TimeOut::nowMs();
            continue;
        }
        // Not a whole frame yet: wait for more, or the device stayed silent for the whole
        // time-out, or the read failed or was aborted.
        if (readIntoBuffer(nextReadSize(), timeoutMs) <= 0) {
            if (!quiet)
                return failReceive(rx, data, failureTimeoutMs, startMs);
            rxHeld = 0; // the unfinished frame was read: it is gone
            return -1;
        }
    }
}

void Protocol::logReceived(uint8_t command, const QByteArray &data) const
{
    LUMO_INFO << "Protocol::receive command:" << frame::hexByte(command) << "nrPacket:" << nrPacket
              << "rxTime:" << lastRxTimeMs << "ms";
    // With debug on, the transport's trace of what it read already shows these bytes:
    // each frame is written to the log once.
    if (!log::debugEnabled())
        LUMO_INFO.noquote() << "Protocol::receive data:" << QLatin1String(log::quotedHex(data));
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
