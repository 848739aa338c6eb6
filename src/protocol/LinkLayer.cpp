// The link layer: framing, acknowledgement, the receive buffer and the transport waits.
//
// A read asks for what the frame still needs (the header, then the rest), or for a whole
// block when its size is known from the block before, so a block of a measurement costs
// one read. Bytes a read brings past a frame's end stay in the buffer, in order, for the
// next call.
#include "protocol/LinkLayer.h"

#include "protocol/Frame.h"
#include "protocol/ProtocolCommand.h"
#include "protocol/ProtocolFrame.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <cstring>

namespace liblumo {

namespace {
constexpr int kReadFailed = -1;
} // namespace

LinkLayer::Expected::Expected(std::initializer_list<uint8_t> list)
{
    for (const uint8_t code : list)
        if (count < int(sizeof codes))
            codes[count++] = code;
}

bool LinkLayer::Expected::admits(uint8_t command) const
{
    return count == 0 || std::find(codes, codes + count, command) != codes + count;
}

void LinkLayer::setTransport(com::ComAbstract *value)
{
    transport = value;
    badFrames = 0;
    frameCutOff = false;
    acknowledgedFrame.clear();
    rxHeld = 0;
    if (transport != nullptr && stopSignal != nullptr)
        transport->setStopSignal(stopSignal);
}

void LinkLayer::setStopSignal(const com::StopSignal *signal)
{
    stopSignal = signal;
    if (transport != nullptr)
        transport->setStopSignal(signal);
}

bool LinkLayer::abortRequested() const
{
    return stopSignal != nullptr && stopSignal->isRaised();
}

int64_t LinkLayer::deadlineAfter(int timeoutMs) const
{
    const int64_t deadline = TimeOut::nowMs() + (timeoutMs < 0 ? kDefaultTimeoutMs : timeoutMs);
    return receiveDeadlineMs > 0 ? std::min(deadline, receiveDeadlineMs) : deadline;
}

// Reads up to size bytes, waiting at most until the deadline; 0 once it has passed.
int LinkLayer::readFromTransport(uint8_t *buffer, int size, int64_t deadlineMs)
{
    if (abortRequested())
        return kReadFailed;
    const int64_t left = deadlineMs - TimeOut::nowMs();
    if (left <= 0)
        return 0;
    transport->setTimeout(int(left));
    return transport->read(buffer, size);
}

int LinkLayer::readIntoBuffer(int size, int64_t deadlineMs)
{
    size = std::min(size, kBufferSize - rxHeld);
    const std::size_t needed = std::size_t(rxHeld + size);
    if (rxStore.size() < needed)
        rxStore.resize(std::min<std::size_t>(std::max(needed, 2 * rxStore.size()), kBufferSize));
    const int got = readFromTransport(rxBuffer() + rxHeld, size, deadlineMs);
    if (got > 0)
        rxHeld += got;
    return got;
}

// What the frame being assembled still needs: its header first (the whole expected frame
// when its size is known), then the rest.
int LinkLayer::nextReadSize() const
{
    if (rxHeld >= protocol::kHeaderSize)
        return protocol::dataLengthOf(rxBuffer()) + protocol::kFrameOverhead - rxHeld;
    return std::max(protocol::kHeaderSize, expectedFrameSize) - rxHeld;
}

void LinkLayer::takeFromBuffer(int count)
{
    if (count <= 0)
        return;
    rxHeld -= count;
    if (rxHeld > 0)
        std::memmove(rxBuffer(), rxBuffer() + count, size_t(rxHeld));
}

// Reads until the buffer holds at least size bytes; false when the deadline passes first.
bool LinkLayer::fillBufferTo(int size, int64_t deadlineMs)
{
    while (rxHeld < size)
        if (readIntoBuffer(size - rxHeld, deadlineMs) <= 0)
            return false;
    return true;
}

// Drops the next count bytes: those held first, then as many more as arrive before the
// deadline. False when the deadline passes first.
bool LinkLayer::dropBytes(int count, int64_t deadlineMs)
{
    for (;;) {
        const int taken = std::min(count, rxHeld);
        takeFromBuffer(taken);
        count -= taken;
        if (count == 0)
            return true;
        if (readIntoBuffer(count, deadlineMs) <= 0)
            return false;
    }
}

bool LinkLayer::noteBadInput()
{
    ++badFrames;
    if (!badInputLog.allow(TimeOut::nowMs()))
        return false;
    if (const int held = badInputLog.suppressedSinceLast())
        LUMO_CRITICAL << "Protocol::receive bad-input log lines suppressed:" << held;
    return true;
}

void LinkLayer::countUnwanted(const char *why)
{
    const uint8_t command = receivedFrame.size() > std::size_t(protocol::kCommandOffset)
                                ? protocol::commandOf(receivedFrame.data())
                                : 0;
    if (noteBadInput())
        LUMO_INFO << why << "- command:" << frame::hexByte(command) << "nrPacket:" << nrPacket;
}

bool LinkLayer::send(uint8_t command, const QByteArray &data)
{
    LUMO_INFO << "Protocol::send command:" << frame::hexByte(command);
    // The length field holds the data length plus 2 in 16 bits: longer data cannot be
    // framed, and its frame comes back empty.
    const QByteArray frameBytes = protocol::buildFrame(nrPacket, command, data);
    if (transport == nullptr || frameBytes.isEmpty()) {
        LUMO_INFO << "Protocol::send ERROR!";
        return false;
    }
    const int frameSize = frameBytes.size();
    for (int attempt = 0; attempt < kSendAttempts && !abortRequested(); ++attempt) {
        // Whatever arrived before the frame goes out belongs to an earlier answer; a
        // repeat among it is answered by the ACK wait as it comes again.
        rxHeld = 0;
        transport->discardInput();
        if (transport->write(frame::bytes(frameBytes), frameSize) != frameSize) {
            LUMO_INFO << "Protocol::send error!";
            LUMO_INFO << "Protocol::send ERROR!";
            return false;
        }
        if (waitAck())
            return true;
        LUMO_INFO << "Protocol::send waitAck error!";
    }
    LUMO_INFO << "Protocol::send ERROR!";
    return false;
}

// A frame where an ACK was awaited: the device sent it before it saw our frame. A repeat
// of the frame we acknowledged last (our ACK was lost) is acknowledged again, so the device
// can go on to our frame; anything else is dropped unanswered, whole, so that no byte
// inside it is taken for the acknowledgement. Its start byte is at rxBuffer()[0]. False when
// it did not arrive whole in time.
bool LinkLayer::answerStaleFrame(int64_t deadlineMs)
{
    if (!fillBufferTo(protocol::kHeaderSize, deadlineMs)) {
        rxHeld = 0; // read, so gone, like the rest that never came
        return false;
    }
    const uint8_t command = protocol::commandOf(rxBuffer());
    const int frameSize = protocol::dataLengthOf(rxBuffer()) + protocol::kFrameOverhead;
    if (frameSize <= kBufferSize && fillBufferTo(frameSize, deadlineMs) &&
        isRepeatOfAcknowledged(frameSize)) {
        takeFromBuffer(frameSize);
        if (noteBadInput())
            LUMO_INFO << "Protocol::waitAck repeated frame acknowledged again - command:"
                      << frame::hexByte(command);
        sendControlByte(kAck);
        return true;
    }
    if (!dropBytes(frameSize, deadlineMs))
        return false;
    LUMO_INFO << "Protocol::waitAck stale frame dropped - command:" << frame::hexByte(command);
    return true;
}

bool LinkLayer::waitAck()
{
    const int64_t started = TimeOut::nowMs();
    const int64_t deadline = started + kAckTimeoutMs;
    int byte = -1; // the byte read in the end, -1 for none
    while (transport != nullptr && fillBufferTo(1, deadline)) {
        byte = rxBuffer()[0];
        if (byte != protocol::kStartByte) {
            takeFromBuffer(1);
            break;
        }
        if (!answerStaleFrame(deadline))
            break;
        byte = -1;
    }
    const int64_t elapsed = TimeOut::nowMs() - started;
    const bool acknowledged = byte == kAck;
    const QByteArray read = byte < 0 ? QByteArray() : QByteArray(1, char(byte)).toHex();
    if (acknowledged)
        LUMO_INFO << "Protocol::waitAck OK:" << read << "rxTime:" << elapsed << "ms";
    else
        LUMO_INFO << "Protocol::waitAck ERROR:" << read << "rxTime:" << elapsed << "ms";
    return acknowledged;
}

// Drops the bytes before a start byte (or all of them when there is none) and counts them.
void LinkLayer::dropNoise(RxProgress &rx, int count)
{
    rx.noise += count;
    takeFromBuffer(count);
}

int LinkLayer::failReceive(const RxProgress &rx, QByteArray &data, bool logFailure,
                           int64_t startMs)
{
    const int64_t now = TimeOut::nowMs();
    // The caller sees the data bytes of an unfinished frame, as far as they arrived.
    if (rx.inFrame && rxHeld > protocol::kDataOffset)
        data =
            QByteArray(reinterpret_cast<const char *>(rxBuffer() + protocol::kDataOffset),
                       std::min(rxHeld - protocol::kDataOffset, protocol::dataLengthOf(rxBuffer())));
    const bool bytesHeld = rxHeld + rx.noise + rx.dropped > 0;
    // The unfinished frame was read: it is gone, and the next frame starts afresh.
    rxHeld = 0;
    if (rx.inFrame && now - rx.frameStartMs >= kFrameCutOffMs) {
        frameCutOff = true;
        LUMO_INFO << "Protocol::receive frame cut off, link given up";
    }
    if (bytesHeld && (!rx.inFrame || rx.noiseBeforeStart == 0) && badInputLog.allow(TimeOut::nowMs()))
        LUMO_CRITICAL << "Protocol::receive FORMAT ERROR!"
                      << "rxTime:" << now - startMs << "ms";
    if (logFailure)
        LUMO_CRITICAL << "Protocol::receive ERROR!"
                      << "rxTime:" << now - startMs << "ms";
    return -1;
}

// Drops a frame too long for the receive buffer and asks for its repetition, as for a
// damaged frame. False when the rest of it never arrived.
bool LinkLayer::rejectOversizeFrame(int frameSize, int64_t deadlineMs)
{
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive frame too long - length:"
                      << frameSize - protocol::kFrameOverhead;
    if (!dropBytes(frameSize, deadlineMs))
        return false;
    sendNak();
    return true;
}

// A whole frame with the right LRC: kept as the frame just received and taken from the
// buffer.
void LinkLayer::acceptFrame(int frameSize, uint8_t &command, QByteArray &data, int64_t startMs)
{
    badFrames = 0;
    command = protocol::commandOf(rxBuffer());
    nrPacket = protocol::packetOf(rxBuffer());
    receivedFrame.assign(rxBuffer(), rxBuffer() + frameSize);
    data = QByteArray(reinterpret_cast<const char *>(rxBuffer() + protocol::kDataOffset),
                      frameSize - protocol::kFrameOverhead);
    const int64_t now = TimeOut::nowMs();
    lastRxTimeMs = now - startMs;
    lastValidFrame.store(now, std::memory_order_relaxed);
    takeFromBuffer(frameSize);
}

// A whole frame with a wrong LRC is answered with NAK; the device sends it again.
void LinkLayer::rejectBadLrc(int frameSize)
{
    const int lrcPosition = frameSize - 1;
    if (noteBadInput())
        LUMO_CRITICAL << "Protocol::receive bad LRC:"
                      << frame::hexByte(protocol::lrc(rxBuffer(), lrcPosition))
                      << "rxLRC:" << frame::hexByte(rxBuffer()[lrcPosition]);
    sendNak();
}

bool LinkLayer::isRepeatOfAcknowledged(int frameSize) const
{
    return int(acknowledgedFrame.size()) == frameSize &&
           std::memcmp(acknowledgedFrame.data(), rxBuffer(), size_t(frameSize)) == 0;
}

// What becomes of a whole frame at the front of the buffer: a repeat of the frame
// acknowledged last is acknowledged again; a well-formed frame nobody waits for is refused
// and counted; a damaged one is refused. Only an awaited frame is delivered.
LinkLayer::Answer LinkLayer::answerCompleteFrame(const Expected &expected, int frameSize)
{
    if (isRepeatOfAcknowledged(frameSize)) {
        // A device repeats a frame at most twice; a peer that keeps repeating one runs
        // into the bad-input bound like any other.
        if (noteBadInput())
            LUMO_INFO << "Protocol::receive repeated frame acknowledged again - nrPacket:"
                      << protocol::packetOf(rxBuffer());
        takeFromBuffer(frameSize);
        sendControlByte(kAck);
        return Answer::Again;
    }
    if (protocol::scanFrame(rxBuffer(), frameSize).status != protocol::FrameScan::Complete) {
        rejectBadLrc(frameSize);
        return Answer::Refused;
    }
    const uint8_t command = protocol::commandOf(rxBuffer());
    if (expected.admits(command))
        return Answer::Deliver;
    if (noteBadInput())
        LUMO_INFO << "Protocol::receive unexpected frame refused - command:"
                  << frame::hexByte(command) << "nrPacket:" << protocol::packetOf(rxBuffer());
    takeFromBuffer(frameSize);
    sendNak();
    return Answer::Refused;
}

int LinkLayer::receiveFrame(const Expected &expected, uint8_t &command, QByteArray &data,
                            int timeoutMs, bool quiet)
{
    command = 0;
    data.clear();
    int64_t startMs = TimeOut::nowMs();
    const int64_t deadlineMs = deadlineAfter(timeoutMs);
    RxProgress rx;
    // A quiet receive logs no failure: its time-out is the expected end. A receive with
    // the default time-out is a look for a frame that may not come.
    const bool logFailure = !quiet && timeoutMs != -1;
    if (transport == nullptr)
        return failReceive(rx, data, logFailure, startMs);

    for (;;) {
        if (givenUp()) {
            LUMO_INFO << "Protocol::receive too many bad frames in a row:" << badFrames;
            return -1;
        }
        const protocol::FrameScan scan = protocol::scanFrame(rxBuffer(), rxHeld);
        dropNoise(rx, scan.start);
        if (scan.status == protocol::FrameScan::NoStart) {
            // A run of noise as long as the buffer holds no frame: give up rather than
            // read forever.
            if (rx.noise >= kBufferSize) {
                noteBadInput();
                return failReceive(rx, data, logFailure, startMs);
            }
        } else {
            if (!rx.inFrame) {
                rx.noiseBeforeStart = rx.noise;
                rx.frameStartMs = TimeOut::nowMs();
            }
            rx.inFrame = true;
            nrPacket = rxHeld > protocol::kPacketOffset + 1 ? protocol::packetOf(rxBuffer()) : 0;
            if (scan.frameSize > 0)
                command = protocol::commandOf(rxBuffer());
        }

        if (scan.frameSize > kBufferSize) {
            rx.dropped = rxHeld;
            if (!rejectOversizeFrame(scan.frameSize, deadlineMs))
                return failReceive(rx, data, logFailure, startMs);
            command = 0;
            rx = RxProgress();
            startMs = TimeOut::nowMs();
            continue;
        }
        if (scan.status == protocol::FrameScan::Complete ||
            scan.status == protocol::FrameScan::BadLrc) {
            if (answerCompleteFrame(expected, scan.frameSize) == Answer::Deliver) {
                acceptFrame(scan.frameSize, command, data, startMs);
                return int(data.size());
            }
            command = 0;
            rx = RxProgress();
            startMs = TimeOut::nowMs();
            continue;
        }
        // Not a whole frame yet: wait for more, or the device stayed silent until the
        // deadline, or the read failed or was aborted.
        if (readIntoBuffer(nextReadSize(), deadlineMs) <= 0)
            return failReceive(rx, data, logFailure, startMs);
    }
}

void LinkLayer::logReceived(uint8_t command, const QByteArray &data) const
{
    LUMO_INFO << "Protocol::receive command:" << frame::hexByte(command) << "nrPacket:" << nrPacket
              << "rxTime:" << lastRxTimeMs << "ms";
    // With debug on, the transport's trace of what it read already shows these bytes:
    // each frame is written to the log once.
    if (!log::debugEnabled())
        LUMO_INFO.noquote() << "Protocol::receive data:" << QLatin1String(log::quotedHex(data));
}

int LinkLayer::receive(const Expected &expected, uint8_t &command, QByteArray &data,
                       int timeoutMs, bool acknowledge)
{
    const int result = receiveFrame(expected, command, data, timeoutMs, false);
    if (result < 0)
        return result;
    if (acknowledge)
        acknowledgeFrame();
    logReceived(command, data);
    return result;
}

bool LinkLayer::acknowledgeFrame()
{
    acknowledgedFrame = receivedFrame;
    return sendAck();
}

void LinkLayer::refuseFrame()
{
    LUMO_INFO << "Protocol::refuseFrame - nrPacket:" << nrPacket;
    sendNak();
    // Whatever else the device sends now belongs to what was refused: it is refused too,
    // until the device gives up and falls quiet.
    const int64_t bound = TimeOut::nowMs() + kRefuseBoundMs;
    uint8_t command = 0;
    QByteArray data;
    while (TimeOut::nowMs() < bound && !abortRequested()) {
        if (receiveFrame(Expected(), command, data, kRefuseQuietMs, true) < 0)
            return;
        if (badInputLog.allow(TimeOut::nowMs()))
            LUMO_INFO << "Protocol::refuseFrame frame refused - command:"
                      << frame::hexByte(command) << "nrPacket:" << nrPacket;
        sendNak();
    }
}

// The ACK goes out at once: a repeat of the frame it answers is recognised when read, so
// nothing needs to be dropped first, and what arrived after the frame stays for the next
// receive. A NAK answers a frame whose rest may still be arriving: that rest is dropped,
// held or not, and the device sends the whole frame again.
bool LinkLayer::sendControlByte(uint8_t byte)
{
    if (transport == nullptr)
        return false;
    if (byte == kNak) {
        rxHeld = 0;
        transport->discardInput();
    }
    const uint8_t out[1] = {byte};
    return transport->write(out, 1) == 1;
}

bool LinkLayer::sendAck()
{
    LUMO_INFO << "Protocol::sendAck";
    return sendControlByte(kAck);
}

bool LinkLayer::sendNak()
{
    if (badInputLog.allow(TimeOut::nowMs()))
        LUMO_INFO << "Protocol::sendNak";
    return sendControlByte(kNak);
}

bool LinkLayer::isConnected()
{
    return transport != nullptr && transport->isConnected();
}

bool LinkLayer::isInputWaiting()
{
    return rxHeld > 0 || (transport != nullptr && transport->isDataAvailable());
}

bool LinkLayer::waitForInput(int timeoutMs)
{
    return rxHeld > 0 || (transport != nullptr && transport->waitForInput(timeoutMs));
}

void LinkLayer::disconnect()
{
    if (transport != nullptr)
        transport->disconnect();
}

} // namespace liblumo
