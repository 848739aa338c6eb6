// Building blocks of the end-to-end cases: a library channel with its host, and a
// simulated device (lumo_sim_core) played on its own thread over a tapped TCP connection
// or a pseudo-terminal.
#ifndef LUMO_TESTS_E2E_FIXTURES_H
#define LUMO_TESTS_E2E_FIXTURES_H

#include "HostRecorder.h"
#include "LinkProvider.h"
#include "Simulator.h"
#include "WireTap.h"
#include "liblumo.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace e2e {

using namespace liblumo::test;

// Generous bounds for waits: several times what the step takes on a quiet machine.
constexpr int kEventWaitMs = 15000;
constexpr int kStopBoundMs = 5000;
// The library's keep-alive and idle interval.
constexpr int kIntervalMs = 3000;

liblumo::LibLumo &library();

// One open channel; stopped when it goes out of scope.
class Channel {
public:
    // A TCP channel listening on a free port.
    static std::unique_ptr<Channel> tcp(HostRecorder &host);
    // A TCP channel serving up to maxConnections devices at once.
    static std::unique_ptr<Channel> fleet(HostRecorder &host, int maxConnections);
    // A serial channel on the given device path.
    static std::unique_ptr<Channel> serial(HostRecorder &host, const std::string &path);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Stops the channel; returns how long stopChannel took in milliseconds.
    int64_t stop();
    int id() const { return channelId; }
    liblumo::lumo_ErrorCodes error() const { return startError; }
    int port() const { return tcpPort; }

private:
    Channel(HostRecorder &host, std::unique_ptr<liblumo::IChannelProfile> profile, int port);

    std::unique_ptr<liblumo::IChannelProfile> profile;
    int channelId = 0;
    int tcpPort = 0;
    bool stopped = false;
    liblumo::lumo_ErrorCodes startError = liblumo::ERR_NONE;
};

// A simulated device (or bus of devices) played on its own thread.
class SimRun {
public:
    explicit SimRun(lumosim::SimConfig config);
    ~SimRun();
    SimRun(const SimRun &) = delete;
    SimRun &operator=(const SimRun &) = delete;

    // Plays over a TCP connection to the channel, through the tap.
    bool overTcp(int port);
    // Plays over pseudo-terminals whose slave path the symbolic link follows; a new pair
    // replaces the old one after every replugAfter sessions (0: never).
    bool overPty(const std::string &symlinkPath, uint64_t replugAfter);
    // Waits until the simulator has finished; false when timeoutMs passed.
    bool waitDone(int timeoutMs);
    lumosim::SimReport report() const { return sim.report(); }
    const lumosim::DeviceReport *device(uint32_t din) const;

    WireTap tap;
    lumosim::Simulator sim;

private:
    void play(lumosim::LinkProvider &links);

    std::unique_ptr<lumosim::Link> link;
    std::unique_ptr<lumosim::FixedLinkProvider> fixed;
    std::unique_ptr<lumosim::PtyLinkProvider> pty;
    mutable lumosim::SimReport lastReport;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread thread;
};

// A device with the simulator's defaults and the given stored measurements.
lumosim::SimDevice device(uint32_t din, uint32_t measurements, uint32_t blocks,
                          uint32_t samplesPerBlock);
lumosim::SimConfig oneDevice(const lumosim::SimDevice &device);

// The bytes of a frame from its parts, with the LRC the test computes itself.
std::vector<uint8_t> frameBytes(uint16_t packet, uint8_t command, const std::vector<uint8_t> &data);

} // namespace e2e

#endif
