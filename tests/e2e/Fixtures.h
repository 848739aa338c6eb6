// End-to-end building blocks: a channel with its recording host, a simulated device played
// on its own thread over a pty or through a TCP tap recording the library's bytes; checks.
#ifndef LUMO_TESTS_E2E_FIXTURES_H
#define LUMO_TESTS_E2E_FIXTURES_H

#include "HostRecorder.h"
#include "LinkProvider.h"
#include "PosixFd.h"
#include "Simulator.h"
#include "Wire.h"
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
constexpr int kIntervalMs = 3000; // the library's keep-alive and idle interval

liblumo::LibLumo &library();
// A port on 127.0.0.1 free a moment ago, or with listening a socket listening on one.
int freeTcpPort(bool listening = false);
bool writeAll(int fd, const uint8_t *data, std::size_t size); // false when the peer is gone

// One unit of what the library wrote: an ACK or NAK byte, a frame, or a stray byte.
struct HostUnit {
    enum Kind { Ack, Nak, Frame, Stray } kind = Stray;
    int64_t atMs = 0; // when its first byte arrived (monotonic)
    Bytes raw;
    uint8_t command = 0;
    Bytes data;
};

// Relays a simulated device's TCP connection and records the library's bytes. It can cut
// the connection when the library sends a given command, as a device vanishing then.
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
    bool waitHostClosed(int timeoutMs) const; // the library closed its side
    int64_t hostClosedAtMs() const;           // -1 while it has not

private:
    void relay();
    bool forward(int from, int to, bool fromLibrary);
    void closeBoth(bool byHost);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int libraryFd = -1, deviceFd = -1, cutCommand = -1;
    lumosim::StopSignal wake;
    Bytes fromHost;
    std::vector<int64_t> arrival;
    bool closedByHost = false, closed = false;
    int64_t closedAtMs = 0;
    std::thread worker;
};

// One open channel; stopped when it goes out of scope.
struct Channel {
    Channel(HostRecorder &host, std::unique_ptr<liblumo::IChannelProfile> profile, int port);
    ~Channel() { stop(); }
    int64_t stop(); // how long stopChannel took in milliseconds
    std::unique_ptr<liblumo::IChannelProfile> profile;
    int id = 0, port = 0;
    bool stopped = false;
};
// A TCP channel on a free port; a fleet channel when fleetLimit is above 0.
std::unique_ptr<Channel> tcpChannel(HostRecorder &host, int fleetLimit = 0);
std::unique_ptr<Channel> serialChannel(HostRecorder &host, const std::string &path);

// A simulated device (or bus of devices) played on its own thread.
class SimRun {
public:
    explicit SimRun(lumosim::SimConfig config) : sim(std::move(config)) {}
    ~SimRun();
    bool overTcp(int port); // through the tap
    bool overPty(const std::string &symlinkPath);
    bool waitDone(int timeoutMs);
    lumosim::SimReport report() const { return sim.report(); }
    lumosim::DeviceReport device(uint32_t din) const;

    WireTap tap;
    lumosim::Simulator sim;

private:
    void play();

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
using lumosim::wire::dinText; // "000-001-234" for 1234

std::vector<liblumo::lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from = 0);
// An EV_MEASUREMENT against measurement `index` of the device, sample by sample; with
// exactCounts the header's counts as stored, not as a faulty device claimed them.
void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index,
                       bool exactCounts = true);
// The device's measurements the host kept, in order, against all it holds.
void expectAllMeasurements(const HostRecorder &host, const lumosim::SimDevice &device,
                           bool exactCounts = true);

} // namespace e2e

#endif
