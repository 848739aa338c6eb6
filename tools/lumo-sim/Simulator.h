// The device side of the conversation, for one device or several on one link (a bus).
//
// A session: the link comes up (connect, open, or the host opens the pty); every device,
// in ascending DIN order, sends its handshake (0x01) once, waits for the host's ACK and
// for the host's echo of the same frame, and acknowledges the echo. A device whose
// handshake gets no ACK or no echo within the handshake time-out was refused: it stays
// quiet for the rest of the session. The accepted devices serve the host's commands; the
// session ends once every device has had its handshake and every accepted one has been
// sent to sleep (0x91); the link is then closed (TCP) or kept for the next session
// (serial, pty), or held open until the host closes it (hold).
//
// Serving: every frame with a valid LRC is acknowledged (ACK), a bad LRC gets a NAK.
// The answers are: 0xA4 status, 0xA3 parameter block, 0xB0 count of the measurements
// not handed over yet, 0xB1 the next measurement (header 0x81, then the data blocks
// 0x82), 0xF1 and 0x92 echoed in a frame of the same command. 0xA1 (date and time) and
// 0xA2 (parameter block, whose CRC the device reports from then on) are stored and only
// acknowledged. Every device frame waits for the host's ACK and is sent again, at most
// 3 times in all, after a NAK or the ACK time-out. A measurement counts as handed over
// once the host acknowledged every frame of it; until then it is offered again. A
// measurement frame (header or block) still unacknowledged after its attempts abandons
// that retrieval: the device keeps the measurement and waits for the next command on the
// same link. Any other frame left unacknowledged is a failure of the run.
//
// Blocks are numbered 1..B; block k carries the number k & 0xFF, so a measurement may
// have up to 65535 blocks (totBlocks has 16 bits).
//
// With devicePerSession the configured devices take turns, one per session (a new
// connection over TCP), each keeping its stored measurements across its turns.
//
// Bus rule (several devices on one link). The link is half duplex and the host serves
// the devices it knows at once, so a device must not talk over it:
// - The lowest-DIN device handshakes as soon as the link comes up.
// - Each further device, in ascending DIN order, handshakes only when the link is quiet:
//   no device is answering and no host frame (valid, with a bad LRC, or still arriving)
//   has come for the bus quiet window (busQuietMs), counted from the end of the last
//   frame, answer or handshake. Every host frame in the window starts it again, so a
//   host that keeps commanding postpones the handshake; the idle time-out does not run
//   while a handshake waits. A frame fragment that stops growing does not hold it off.
// - Until then a waiting device is not on the bus: it neither acknowledges nor answers.
//   When no accepted device is awake, nobody acknowledges a host frame (it is counted).
// - Frames carry no address, so each command goes to the device that holds the link: the
//   lowest-DIN accepted device that is awake and has not passed the link on. A device is
//   finished once it has answered a count request (0xB0) and has since handed over every
//   measurement it holds. A count request that reaches a finished device passes the link
//   to the next accepted awake device (ascending DIN, one that handshook late included),
//   which answers it; other commands stay with the holder. A device that is sent to
//   sleep (0x91) leaves the link as well. Once every awake device is finished, commands
//   go to the lowest-DIN awake device again, so a host that transfers from all devices
//   first can then send them to sleep in DIN order.
// - A lone device is never held back: it handshakes at once and the rule costs it
//   nothing.
//
// Packet numbers: each device numbers its frames 1, 2, 3, ... (a resend keeps its
// number); the host is expected to echo the number of the last device frame.
#ifndef LUMO_SIM_SIMULATOR_H
#define LUMO_SIM_SIMULATOR_H

#include "Link.h"
#include "LinkProvider.h"
#include "PosixFd.h"
#include "SimConfig.h"
#include "SimReport.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace lumosim {

class Simulator {
public:
    explicit Simulator(SimConfig config);
    // Every wait ends on `sharedStop` instead of a stop signal of its own: a fleet of
    // simulators stops at once, and a thousand of them do not hold two thousand pipe ends.
    Simulator(SimConfig config, StopSignal &sharedStop);
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Plays config.sessions sessions, each on a link from the provider.
    SimReport run(LinkProvider &links);
    // Plays every session on one link that is already open (a socketpair, a tty).
    SimReport run(Link &link);

    // Ends run() soon, from any thread (and from a signal handler via stopSignal()).
    void stop() { stop_->trigger(); }
    StopSignal &stopSignal() { return *stop_; }

    // A snapshot of the report so far, from any thread.
    SimReport report() const;
    const SimConfig &config() const { return config_; }

    // The runtime state of each device, kept across sessions.
    struct DeviceState {
        SimDevice config;
        wire::Clock clock;
        uint16_t paramCrc = 0;
        ParamBlock params{};
        uint16_t nextPacket = 1;
        uint32_t handedOver = 0;
        bool accepted = false;
        bool asleep = false;
        bool reportedEmpty = false; // answered a count request with 0
        bool passedOn = false;
        std::size_t turn = 0; // position in the configured list (devicePerSession)
        bool present = false; // plays in the current session
        uint32_t remaining() const { return config.measurements - handedOver; }
    };

private:
    Simulator(SimConfig config, std::unique_ptr<StopSignal> ownStop, StopSignal *sharedStop);

    class Session;
    friend class Session;

    template <typename F> void update(F &&change)
    {
        std::lock_guard<std::mutex> lock(reportMutex_);
        change(report_);
    }
    void fail(const std::string &why);

    SimConfig config_;
    std::vector<DeviceState> devices_;    // ascending DIN
    std::unique_ptr<StopSignal> ownStop_; // null with a shared stop signal
    StopSignal *stop_;
    mutable std::mutex reportMutex_;
    SimReport report_;
    uint64_t deviceFramesSent_ = 0; // for the one-shot faults
    uint64_t hostFramesSeen_ = 0;
    uint64_t retrievals_ = 0; // retrievals of a stored measurement, for faultyRetrieval
    uint64_t sessionsPlayed_ = 0;
};

} // namespace lumosim

#endif
