// A transport test double: it hands out scripted device bytes, records everything the
// protocol does to it, and can answer the frames written to it.
#ifndef LIBLUMO_TESTS_SCRIPTEDTRANSPORT_H
#define LIBLUMO_TESTS_SCRIPTEDTRANSPORT_H

#include "FakeClock.h"
#include "transports/ComAbstract.h"

#include <QByteArray>

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace liblumo::test {

class ScriptedTransport : public com::ComAbstract {
public:
    // Device input, handed out in order. A chunk is never merged with the next one: a read
    // gets at most one chunk, cut to the size it asks for (the rest stays for the next read).
    void feed(const QByteArray &bytes);
    void feedBytewise(const QByteArray &bytes); // one chunk per byte
    void feedTimeout();                         // the next read returns 0
    void feedFailure();                         // the next read returns -1

    // Each frame written (anything longer than one byte) takes the next of these replies,
    // or an ACK when autoAck is on and none is left. The reply comes before any input still
    // scripted, as a device answers a frame before it sends anything else.
    void replyToNextFrames(const std::vector<QByteArray> &replies);
    void setAutoAck(bool on) { autoAck = on; }
    // Frame writes report one byte fewer than asked.
    void setShortFrameWrites(bool on) { shortFrameWrites = on; }
    // With an empty script a read waits for its time-out, as a silent device would;
    // otherwise it returns 0 at once.
    void setWaitWhenIdle(bool on) { waitWhenIdle = on; }
    void setConnected(bool on) { connected = on; }
    // With a clock attached, a read that stands for the whole time-out passing (an idle
    // wait, a scripted time-out) advances it by the time-out instead of sleeping.
    void setClock(FakeClock *value) { clock = value; }
    // Reads of scripted bytes get at most caps[n % caps.size()] bytes, n counting those
    // reads, as from a transport that hands over whatever has arrived so far. Empty: no cap.
    void setReadCaps(std::vector<int> caps) { readCaps = std::move(caps); }
    // Off: nothing is recorded (writes, events, read sizes, time-outs), so a long run
    // keeps no history.
    void setRecording(bool on) { recording = on; }

    const std::vector<QByteArray> &writes() const { return written; }
    QByteArray wire() const; // every byte written, in order
    // "discard" and "write <HEX>" in call order.
    const std::vector<std::string> &events() const { return eventLog; }
    int discards() const { return discardCount; }
    const std::vector<int> &readSizes() const { return askedSizes; }
    const std::vector<int> &timeouts() const { return timeoutsSet; }
    int pendingBytes() const; // scripted bytes not read yet
    bool idle() const { return script.empty(); }

    int write(const uint8_t *data, int size) override;
    int read(uint8_t *buffer, int size) override;
    bool setTimeout(int ms) override;
    bool open() override { return true; }
    bool disconnect() override;
    bool close() override { return true; }
    bool isConnected() override { return connected; }
    void discardInput() override;
    bool isDataAvailable() override;

    int disconnects() const { return disconnectCount; }

private:
    struct Step {
        enum Kind { Data, Timeout, Failure } kind;
        QByteArray bytes;
        int offset = 0; // bytes of it already read
    };
    static constexpr int kDefaultTimeoutMs = 1000;

    std::deque<Step> script;
    std::deque<QByteArray> frameReplies;
    bool autoAck = false;
    bool shortFrameWrites = false;
    bool waitWhenIdle = false;
    bool connected = true;
    FakeClock *clock = nullptr;
    std::vector<int> readCaps;
    size_t cappedReads = 0;
    bool recording = true;
    int timeoutMs = kDefaultTimeoutMs;
    std::vector<QByteArray> written;
    std::vector<std::string> eventLog;
    std::vector<int> askedSizes;
    std::vector<int> timeoutsSet;
    int discardCount = 0;
    int disconnectCount = 0;

    void waitForTimeout();
    int readCap(int size);
};

} // namespace liblumo::test

#endif
