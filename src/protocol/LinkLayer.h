// The acknowledged link layer to the devices behind one connection.
//
// Frames are built and found by the codec in Frame.h. Stop-and-wait: every frame, in
// either direction, is answered by a single ACK (06) or NAK (15). This class owns the
// receive buffer and decides what is acknowledged and when:
// - a frame the caller is waiting for is acknowledged (at once, or once the caller has
//   accepted its content);
// - a frame identical to the last one acknowledged (same packet number and content: the
//   device missed our ACK) is acknowledged again and never delivered twice, also while
//   the ACK of our own next frame is awaited;
// - a well-formed frame of another kind is refused with NAK and counts, like a damaged
//   one, against the bad-input budget that ends the link.
// Every receive has a deadline for the whole frame, not for each read, so a peer that
// trickles bytes cannot hold it open. The link layer never knows what kind of transport
// it has, nor what the commands mean.
#ifndef LIBLUMO_PROTOCOL_LINKLAYER_H
#define LIBLUMO_PROTOCOL_LINKLAYER_H

#include "helpers/Logging.h"
#include "transports/ComAbstract.h"
#include "transports/StopSignal.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace liblumo {

class LinkLayer {
public:
    static constexpr int kBufferSize = 10240;
    static constexpr int kAckTimeoutMs = 5000;
    static constexpr int kSendAttempts = 3;
    // What a time-out of -1 stands for: the transport's default read time-out.
    static constexpr int kDefaultTimeoutMs = 1000;
    // How long the device must stay quiet before a refusal is complete, and the longest
    // a refusal may take however much the device keeps sending.
    static constexpr int kRefuseQuietMs = 1500;
    static constexpr int kRefuseBoundMs = 30000;
    // Bad or unwanted frames in a row (damaged, too long, noise, well-formed but not what
    // was asked for) after which the link is given up: a line with some noise never comes
    // near it between two valid frames, a peer sending garbage reaches it within seconds.
    static constexpr int kMaxBadFrames = 32;
    // Log lines about bad input: at most this many a second.
    static constexpr int kBadInputLogBurst = 5;
    static constexpr int kBadInputLogWindowMs = 1000;
    // A frame whose start came this long before its receive gave up was cut off: the
    // link is broken, or a peer trickles bytes to hold it open.
    static constexpr int kFrameCutOffMs = 5000;

    // The command codes a receive waits for; empty: any frame.
    class Expected {
    public:
        Expected() = default;
        Expected(std::initializer_list<uint8_t> codes);
        bool admits(uint8_t command) const;

    private:
        uint8_t codes[2] = {};
        int count = 0;
    };

    LinkLayer() = default;
    LinkLayer(const LinkLayer &) = delete;
    LinkLayer &operator=(const LinkLayer &) = delete;

    // A new transport is a new link: nothing of the last one is held or remembered.
    void setTransport(com::ComAbstract *value);
    // Once raised, nothing more is sent and every wait ends as a failure at once.
    void setStopSignal(const com::StopSignal *signal);
    // A moment (monotonic ms, 0: none) past which every receive ends as a time-out.
    void setReceiveDeadline(int64_t deadlineMs) { receiveDeadlineMs = deadlineMs; }

    // Frames the command and writes it, waits for its ACK and writes it again on NAK or
    // silence, up to kSendAttempts times. True when acknowledged.
    bool send(uint8_t command, const QByteArray &data);

    // Waits up to timeoutMs (-1: kDefaultTimeoutMs) for the whole of the next frame the
    // caller expects and returns its data length, or -1. With `acknowledge` the frame is
    // acknowledged at once; otherwise the caller answers it with acknowledgeFrame() once
    // it accepted the content, or refuses it with refuseFrame().
    int receive(const Expected &expected, uint8_t &command, QByteArray &data, int timeoutMs,
                bool acknowledge);
    // ACK for the frame just received; it becomes the one a repeat is recognised by.
    bool acknowledgeFrame();
    // NAK for the frame just received, and for every frame the device sends after it
    // until it has been quiet for kRefuseQuietMs: the device gives up on what it was
    // sending and keeps it.
    void refuseFrame();
    // The frame just received was well-formed but is of no use (a handshake that cannot be
    // taken): counted against the bad-input budget; the caller decides the answer.
    void countUnwanted(const char *why);
    // Waits up to kAckTimeoutMs for the ACK of the frame just sent; true when it came.
    bool waitAck();
    bool sendAck();
    bool sendNak();

    bool isConnected();
    void disconnect();
    // True when input waits: bytes held in the receive buffer, or bytes the transport has.
    bool isInputWaiting();
    bool waitForInput(int timeoutMs);
    // True once kMaxBadFrames bad frames came in a row, or a frame stayed unfinished for
    // kFrameCutOffMs: nothing useful is coming.
    bool givenUp() const { return badFrames >= kMaxBadFrames || frameCutOff; }
    void forgetBadFrames() { badFrames = 0; }

    // When the last frame the caller waited for arrived (monotonic ms; 0: none yet).
    // Read by other threads: a connection that shows no frame for a while may lose its
    // devices to a newer one.
    int64_t lastValidFrameMs() const { return lastValidFrame.load(std::memory_order_relaxed); }
    const std::atomic<int64_t> *lastValidFrameClock() const { return &lastValidFrame; }
    // The size of the frame just received, LRC included; the next read may ask for a
    // frame of this size at once (a measurement's blocks are all alike).
    int receivedFrameSize() const { return int(receivedFrame.size()); }
    void expectFrameSize(int size) { expectedFrameSize = size; }

private:
    // Noise before a start byte is dropped from the buffer as it is scanned and only counted.
    struct RxProgress {
        int noise = 0;            // bytes without a start byte since the last clear
        int noiseBeforeStart = 0; // noise seen before the current frame's start byte
        bool inFrame = false;     // a start byte was found
        int dropped = 0;          // bytes of a frame too long for the buffer, dropped
        int64_t frameStartMs = 0; // when the current frame's start byte was first seen
    };
    enum class Answer { Deliver, Again, Refused };

    int readFromTransport(uint8_t *buffer, int size, int64_t deadlineMs);
    int readIntoBuffer(int size, int64_t deadlineMs);
    uint8_t *rxBuffer() { return rxStore.data(); }
    const uint8_t *rxBuffer() const { return rxStore.data(); }
    int nextReadSize() const;
    void takeFromBuffer(int count);
    bool abortRequested() const;
    bool sendControlByte(uint8_t byte);
    bool noteBadInput();
    int64_t deadlineAfter(int timeoutMs) const;

    void dropNoise(RxProgress &rx, int count);
    bool rejectOversizeFrame(int frameSize, int64_t deadlineMs);
    Answer answerCompleteFrame(const Expected &expected, int frameSize);
    void acceptFrame(int frameSize, uint8_t &command, QByteArray &data, int64_t startMs);
    void rejectBadLrc(int frameSize);
    int failReceive(const RxProgress &rx, QByteArray &data, bool logFailure, int64_t startMs);
    int receiveFrame(const Expected &expected, uint8_t &command, QByteArray &data,
                     int timeoutMs, bool quiet);
    bool isRepeatOfAcknowledged(int frameSize) const;
    bool fillBufferTo(int size, int64_t deadlineMs);
    bool dropBytes(int count, int64_t deadlineMs);
    bool answerStaleFrame(int64_t deadlineMs);
    void logReceived(uint8_t command, const QByteArray &data) const;

    uint16_t nrPacket = 0;
    com::ComAbstract *transport = nullptr;
    const com::StopSignal *stopSignal = nullptr;
    int64_t receiveDeadlineMs = 0;
    int badFrames = 0;        // in a row, since the last valid frame
    bool frameCutOff = false; // a frame stopped arriving half-way: the link is broken
    std::atomic<int64_t> lastValidFrame{0};
    log::LogBudget badInputLog{kBadInputLogBurst, kBadInputLogWindowMs};
    // Bytes read from the transport and not taken yet, in order: the first rxHeld bytes of
    // rxStore, which grows as frames need it (up to kBufferSize), so an idle connection
    // holds little.
    static constexpr std::size_t kFirstRxSize = 256;
    std::vector<uint8_t> rxStore = std::vector<uint8_t>(kFirstRxSize);
    int rxHeld = 0;
    // While the blocks of a measurement arrive: the size the next one is likely to have.
    int expectedFrameSize = 0;
    // The frame just received (whole, LRC included) and the last one acknowledged.
    std::vector<uint8_t> receivedFrame;
    std::vector<uint8_t> acknowledgedFrame;
    int64_t lastRxTimeMs = 0; // how long the frame just received took to arrive
};

} // namespace liblumo

#endif
