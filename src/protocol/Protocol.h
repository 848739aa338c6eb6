// The link layer to the one device connected on a channel, and the device commands.
//
// Frames are built and found by the codec in Frame.h. Stop-and-wait: each frame is answered
// by a single ACK (06) or NAK (15). The protocol never knows what kind of transport it has.
#ifndef LIBLUMO_PROTOCOL_PROTOCOL_H
#define LIBLUMO_PROTOCOL_PROTOCOL_H

#include "helpers/Logging.h"
#include "liblumo.h"
#include "protocol/ProtocolCommand.h"
#include "transports/ComAbstract.h"
#include "transports/StopSignal.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>

namespace liblumo {

class Protocol {
public:
    static constexpr int kBufferSize = 10240;
    static constexpr int kAckTimeoutMs = 5000;
    static constexpr int kSendAttempts = 3;

    // Decides whether a device that sent its handshake is accepted.
    using AcceptFunction = bool (*)(const QString &din, void *user);

    Protocol() = default;
    Protocol(const Protocol &) = delete;
    Protocol &operator=(const Protocol &) = delete;

    // The transport is handed the stop signal too, so that its waits end on it.
    void setTransport(com::ComAbstract *value);
    com::ComAbstract *getTransport() const { return transport; }

    // Once the signal is raised nothing more is sent and every wait ends as a failure at
    // once, so a stop never waits for a command's time-out.
    void setStopSignal(const com::StopSignal *signal);
    // A moment (monotonic ms, 0: none) past which every wait ends as a time-out, however
    // the bytes trickle in: a peer that never completes a frame cannot hold a read open.
    void setReceiveDeadline(int64_t deadlineMs) { receiveDeadlineMs = deadlineMs; }

    // How long the device must stay quiet before a refusal is complete, and the longest
    // a refusal may take however much the device keeps sending.
    static constexpr int kRefuseQuietMs = 1500;
    // Bad frames in a row (damaged, too long, a buffer of noise) after which the link is
    // given up: a line with some noise never comes near it between two valid frames,
    // a peer sending garbage reaches it within a second or two.
    static constexpr int kMaxBadFrames = 32;
    // Log lines about bad input: at most this many a second.
    static constexpr int kBadInputLogBurst = 5;
    static constexpr int kBadInputLogWindowMs = 1000;
    static constexpr int kRefuseBoundMs = 30000;

    // Link layer.
    int send(uint8_t command, const QByteArray &data);              // 1 acknowledged, 0 failed
    int receive(uint8_t &command, QByteArray &data, int timeoutMs); // data length or -1
    // Like receive, but the valid frame is left unanswered: the caller acknowledges it with
    // acknowledgeFrame() once it has accepted its content, or refuses it with refuseFrame().
    int receiveUnacknowledged(uint8_t &command, QByteArray &data, int timeoutMs);
    // ACK for the frame just received. Until the next command is sent, an identical copy
    // of it (same packet number and content: the device missed the ACK) is acknowledged
    // again and never delivered twice.
    bool acknowledgeFrame();
    // NAK for the frame just received, and for every frame the device sends after it
    // until it has been quiet for kRefuseQuietMs: the device gives up on what it was
    // sending and keeps it, and nothing of it is left to be read as the next answer.
    void refuseFrame();
    bool waitAck();
    bool sendAck();
    bool sendNak();
    bool isConnected();
    void disconnect();
    // True when input waits to be received: bytes held in the receive buffer, or bytes the
    // transport has.
    bool isInputWaiting();
    // True once kMaxBadFrames bad frames came in a row: nothing useful is coming.
    bool tooManyBadFrames() const { return badFrames >= kMaxBadFrames; }
    void forgetBadFrames() { badFrames = 0; }

    // Handshake, keep-alive, sleep, real-time.
    bool waitHandshake(QString &din, uint16_t &handshakeWord, uint16_t &rxCrc16,
                       AcceptFunction accept, void *user, uint8_t &otherCommand,
                       QByteArray &otherData, int timeoutMs);
    bool sendKeepAlive(uint32_t counter, int timeoutMs);
    bool doSleep();
    bool sentRealTimeCommand(uint8_t subCommand, const QByteArray &arguments, QByteArray &answer,
                             int timeoutMs);

    // Configuration and status.
    bool setDateTime(const QDateTime &dateTime);
    bool setDeviceParams(const DeviceParams &params, int timeoutMs);
    bool getDeviceParams(DeviceParams &params, int timeoutMs);
    bool getDeviceStatus(DeviceStatus &status, int timeoutMs);

    // Measurements.
    uint16_t getAvailableMeasurement(int timeoutMs); // 0xFFFF on failure
    // Fetches the next stored measurement: the header zero-fills the record, blocks must
    // follow in sequence (numbers compared in 8 bits) and fit the record; `samples` is
    // how many arrived. Every frame but the last is acknowledged once accepted; the last
    // is left to the caller, who keeps the measurement with acknowledgeFrame() or gives it
    // back to the device with refuseFrame(). On failure the frame that could not be
    // accepted has been refused already, so the device keeps the measurement.
    bool retriveNextMeasurement(Measurement &measurement, int timeoutMs, int &samples);
    bool receiveMeasurement(Measurement &measurement, int timeoutMs, int &samples);

    // A number and a text the owner may keep here; nothing in the library uses them.
    void getSpare(uint16_t &number, QString &text) const;
    void resetSpare();

    uint16_t packetNumber() const { return nrPacket; }

private:
    // Progress of one receive call. Noise before a start byte is dropped from the buffer as
    // it is scanned and only counted.
    struct RxProgress {
        int noise = 0;            // bytes without a start byte since the last clear
        int noiseBeforeStart = 0; // noise seen before the current frame's start byte
        bool inFrame = false;     // a start byte was found
        int dropped = 0;          // bytes of a frame too long for the buffer, dropped
    };

    // Reads up to size bytes, waiting at most timeoutMs (-1: the transport's default).
    int readFromTransport(uint8_t *buffer, int size, int timeoutMs);
    // Reads up to size bytes into the receive buffer, as far as it has room. A read never
    // asks for more than the frame can need (or, for a measurement's blocks, the size of
    // the block before): a serial port fills what it is asked for or waits out its slice.
    int readIntoBuffer(int size, int timeoutMs);
    int nextReadSize() const;
    // Drops the first count bytes of the receive buffer; what follows them moves up.
    void takeFromBuffer(int count);
    bool abortRequested() const;
    bool sendControlByte(uint8_t byte);
    // Counts a bad frame; true when its log lines may be written.
    bool noteBadInput();

    void dropNoise(RxProgress &rx, int count);
    bool rejectOversizeFrame(int frameSize, int timeoutMs);
    void acceptFrame(int frameSize, uint8_t &command, QByteArray &data, int64_t startMs);
    void rejectBadLrc(int frameSize, uint8_t &command);
    int failReceive(const RxProgress &rx, QByteArray &data, int timeoutMs, int64_t startMs);
    int receiveFrame(uint8_t &command, QByteArray &data, int timeoutMs, bool quiet);
    bool isRepeatOfAcknowledged(int frameSize) const;
    bool fillBufferTo(int size, int64_t deadlineMs);
    bool dropBytes(int count, int timeoutMs, int64_t deadlineMs);
    bool skipStaleFrame(int64_t deadlineMs);
    void logReceived(uint8_t command, const QByteArray &data) const;

    uint16_t nrPacket = 0;
    uint16_t spareNumber = 0;
    QString spareText;
    com::ComAbstract *transport = nullptr;
    const com::StopSignal *stopSignal = nullptr;
    int64_t receiveDeadlineMs = 0;
    int badFrames = 0; // in a row, since the last valid frame
    log::LogBudget badInputLog{kBadInputLogBurst, kBadInputLogWindowMs};
    // Bytes read from the transport and not taken yet: the frame being assembled and
    // whatever arrived after it, kept in order for the next receive. A new transport and
    // the discard before a NAK or a command clear it.
    uint8_t rxBuffer[kBufferSize] = {};
    int rxHeld = 0;
    // While the blocks of a measurement arrive: the size the next one is likely to have,
    // so that one read takes it whole. 0 otherwise.
    int expectedFrameSize = 0;
    uint8_t txBuffer[kBufferSize] = {};
    // The frame just received (whole, LRC included) and the last one acknowledged; a
    // command sent forgets the latter, since a new answer begins.
    uint8_t receivedFrame[kBufferSize] = {};
    int receivedSize = 0;
    uint8_t acknowledgedFrame[kBufferSize] = {};
    int acknowledgedSize = 0;
    int64_t lastRxTimeMs = 0; // how long the frame just received took to arrive
};

} // namespace liblumo

#endif
