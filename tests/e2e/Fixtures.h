// Building blocks of the end-to-end cases: a library channel with its recording host, a
// simulated device (lumo_sim_core) played on its own thread over a tapped TCP connection
// or a pseudo-terminal, the tap that records the library's bytes, and shared checks.
#ifndef LUMO_TESTS_E2E_FIXTURES_H
#define LUMO_TESTS_E2E_FIXTURES_H

#include "HostRecorder.h"
#include "LinkProvider.h"
#include "PosixFd.h"
#include "Simulator.h"
#include "liblumo.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace liblumo::test;
using Bytes = std::vector<uint8_t>;

// Generous bounds for waits: several times what the step takes on a quiet machine.
constexpr int kEventWaitMs = 15000;
constexpr int kStopBoundMs = 5000;
// The library's keep-alive and idle interval.
constexpr int kIntervalMs = 3000;

liblumo::LibLumo &library();

namespace io {
// A port on 127.0.0.1 free a moment ago (0 on failure), or with listening a socket that
// listens on such a port (-1 on failure).
int freeTcpPort(bool listening = false);
bool writeAll(int fd, const uint8_t *data, std::size_t size); // false when the peer is gone
void closeFd(int fd);
} // namespace io

// One unit of what the library wrote: an ACK or NAK byte, a frame, or a stray byte.
struct HostUnit {
    enum Kind { Ack, Nak, Frame, Stray } kind = Stray;
    int64_t atMs = 0; // when its first byte arrived (monotonic)
    Bytes raw;
    uint8_t command = 0;
    Bytes data;
};

// Relays a simulated device's TCP connection and records every byte the library sends.
// It can cut the connection when the library sends a given command, as a device that
// vanishes at that moment.
class WireTap {
public:
    WireTap() = default;
    ~WireTap();
    WireTap(const WireTap &) = delete;
    WireTap &operator=(const WireTap &) = delete;

    // Connects to 127.0.0.1:port; returns the descriptor the device talks through, or -1.
    int connect(int port);
    void cutOnCommand(uint8_t command) { cutCommand = command; }
    void cutNow() { wake.trigger(); }

    std::vector<HostUnit> hostUnits() const;
    std::vector<HostUnit> hostFrames(uint8_t command) const;
    bool waitHostFrames(uint8_t command, std::size_t n, int timeoutMs) const;
    // Waits until the library closed its side; false when timeoutMs passed.
    bool waitHostClosed(int timeoutMs) const;
    int64_t hostClosedAtMs() const; // -1 while the library has not closed its side

private:
    void relay();
    bool forward(int from, int to, bool fromHost);
    void closeBoth(bool byHost);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int libraryFd = -1;
    int deviceFd = -1;
    lumosim::StopSignal wake;
    int cutCommand = -1;
    Bytes fromHost;
    std::vector<int64_t> arrival;
    bool closedByHost = false;
    bool closed = false;
    int64_t closedAtMs = 0;
    std::thread worker;
};

// One open channel; stopped when it goes out of scope.
class Channel {
public:
    static std::unique_ptr<Channel> tcp(HostRecorder &host);
    static std::unique_ptr<Channel> fleet(HostRecorder &host, int maxConnections);
    static std::unique_ptr<Channel> serial(HostRecorder &host, const std::string &path);
    ~Channel() { stop(); }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Stops the channel; returns how long stopChannel took in milliseconds.
    int64_t stop();
    int port() const { return tcpPort; }

private:
    Channel(HostRecorder &host, std::unique_ptr<liblumo::IChannelProfile> profile, int port);

    std::unique_ptr<liblumo::IChannelProfile> profile;
    int channelId = 0;
    int tcpPort = 0;
    bool stopped = false;
};

// A simulated device (or bus of devices) played on its own thread.
class SimRun {
public:
    explicit SimRun(lumosim::SimConfig config) : sim(std::move(config)) {}
    ~SimRun();
    SimRun(const SimRun &) = delete;
    SimRun &operator=(const SimRun &) = delete;

    bool overTcp(int port); // through the tap
    bool overPty(const std::string &symlinkPath);
    bool waitDone(int timeoutMs);
    lumosim::SimReport report() const { return sim.report(); }
    lumosim::DeviceReport device(uint32_t din) const;

    WireTap tap;
    lumosim::Simulator sim;

private:
    void play(lumosim::LinkProvider &links);

    std::unique_ptr<lumosim::Link> link;
    std::unique_ptr<lumosim::LinkProvider> links;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread thread;
};

// A device with the simulator's defaults and the given stored measurements.
lumosim::SimDevice device(uint32_t din, uint32_t measurements = 0, uint32_t blocks = 0,
                          uint32_t samplesPerBlock = 0);
lumosim::SimConfig oneDevice(const lumosim::SimDevice &device);
// "000-001-234" for 1234.
std::string dinText(uint32_t din);
// The bytes of a frame from its parts, with the LRC the test computes itself.
Bytes frameBytes(uint16_t packet, uint8_t command, const Bytes &data);

// The kinds of the events from index `from` on.
std::vector<liblumo::lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from = 0);
std::vector<Bytes> rawUnits(const std::vector<HostUnit> &units);
// The measurement of an EV_MEASUREMENT against measurement `index` of the device.
// exactCounts: the header's sample counts as stored (not as a faulty device claimed them).
void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index,
                       bool exactCounts = true);
// Every EV_MEASUREMENT of din, in order, against all the device holds.
void expectAllMeasurements(const HostRecorder &host, const lumosim::SimDevice &device,
                           bool exactCounts = true);
// The status of an EV_SYNC_DONE against the device's status block and clock.
void expectStatus(const SeenEvent &seen, const lumosim::SimDevice &device);
// A 7-byte date and time payload holds the current UTC time (within a few seconds).
void expectUtcNow(const Bytes &payload);

} // namespace e2e

#endif
