// A hand-written host side for driving the simulator in tests. It frames and checks
// bytes with its own few lines of code, not with the simulator's codec.
#ifndef LUMO_TESTS_SIM_SCRIPTEDHOST_H
#define LUMO_TESTS_SIM_SCRIPTEDHOST_H

#include "Simulator.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t STX = 0x02, ACK = 0x06, NAK = 0x15;
// Generous bound for any single wait: long enough never to flake on a loaded machine.
constexpr int kWaitMs = 10000;

Bytes hostFrame(uint16_t packet, uint8_t command, const Bytes &data = {});

struct RawFrame {
    uint16_t packet = 0;
    uint8_t command = 0;
    Bytes data;
    Bytes wire; // the frame's bytes as received
};

class ScriptedHost {
public:
    explicit ScriptedHost(int fd) : fd_(fd) {}

    // Exactly n bytes, or fewer when the time-out passes or the stream ends.
    Bytes read(std::size_t n, int timeoutMs = kWaitMs);
    // Whatever one read call returns (one record on a packet socket).
    Bytes readOnce(int timeoutMs = kWaitMs);
    // The next frame; bytes before its start byte are counted in skipped(). False on
    // time-out, end of stream or a wrong checksum.
    bool readFrame(RawFrame &frame, int timeoutMs = kWaitMs);
    uint8_t readControl(int timeoutMs = kWaitMs); // 0 when nothing came

    void write(const Bytes &bytes);
    void writeBytewise(const Bytes &bytes); // one write per byte
    void ack() { write({ACK}); }
    void nak() { write({NAK}); }
    // Sends a command carrying the last packet number seen; returns the answer byte.
    uint8_t command(uint8_t cmd, const Bytes &data = {});
    // Sends the command and reads the answer frame, acknowledging it.
    bool ask(uint8_t cmd, RawFrame &answer, const Bytes &data = {});

    // Takes the handshake frame, accepts it and echoes it back.
    bool acceptHandshake(RawFrame &handshake);
    // True when no byte arrives within ms.
    bool quietFor(int ms);
    // True when the stream ends within ms.
    bool endsWithin(int ms);

    uint16_t lastPacket() const { return lastPacket_; }
    std::size_t skipped() const { return skipped_; }
    bool byteWise = false; // write every byte separately

private:
    int fd_;
    uint16_t lastPacket_ = 0;
    std::size_t skipped_ = 0;
};

// A simulator on a thread, talking over one end of a socketpair; the test is the host
// on the other end.
class SimOnThread {
public:
    explicit SimOnThread(lumosim::SimConfig config, int socketType = 1 /* SOCK_STREAM */);
    ~SimOnThread();
    lumosim::SimReport finish(); // waits for run() to end (bounded), then its report
    bool finished() const { return done_; }
    void closeHost(); // the host's side of the link goes away

    lumosim::Simulator sim;
    ScriptedHost host{-1};

private:
    int hostFd_ = -1;
    std::unique_ptr<lumosim::Link> link_;
    std::thread thread_;
    lumosim::SimReport report_;
    std::atomic<bool> done_{false};
};

// Joins a thread when the test leaves its scope, also through a failed ASSERT; a
// simulator it runs is stopped first so the join cannot hang.
class JoinOnExit {
public:
    JoinOnExit(std::thread &thread, lumosim::Simulator *sim = nullptr) : t_(thread), sim_(sim) {}
    ~JoinOnExit()
    {
        if (t_.joinable()) {
            if (sim_)
                sim_->stop();
            t_.join();
        }
    }

private:
    std::thread &t_;
    lumosim::Simulator *sim_;
};

// One device with DIN 1234 and short device-side time-outs.
lumosim::SimConfig oneDevice(uint32_t measurements = 2, uint32_t blocks = 2,
                             uint32_t samplesPerBlock = 3);

Bytes le16(uint16_t v);
uint16_t le16(const Bytes &b, std::size_t at);

} // namespace simtest

#endif
