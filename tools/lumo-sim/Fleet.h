// A fleet: many devices in one process, each with its own DIN and stored measurements and
// its own TCP connection to the host, as loggers calling in over the network do.
//
// Every device is a Simulator of one device that plays its sessions on a thread of its
// own (the same conversation code as a single device, so a fleet behaves as N separate
// lumo-sim runs would). The threads have small stacks (kFleetStackBytes): a device
// spends its life blocked in poll, and a thousand of them cost a few MiB. All devices
// share one stop signal, so one descriptor pair stops them all and each device costs one
// descriptor, its socket.
//
// Device k (from 0) has DIN firstDin + k and waveform seed DIN; it starts connecting
// k * rampMs / devices milliseconds after start(), so the connections arrive spread
// over the ramp. Every session begins with all measurements stored again.
#ifndef LUMO_SIM_FLEET_H
#define LUMO_SIM_FLEET_H

#include "PosixFd.h"
#include "SimConfig.h"
#include "SimReport.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumosim {

constexpr std::size_t kFleetStackBytes = 256 * 1024;
constexpr uint32_t kMaxFleetDevices = 100000;

struct FleetConfig {
    uint32_t devices = 1;
    uint32_t firstDin = 123456001;
    SimDevice device =
        defaultDevice(123456001); // every device's settings; DIN and seed set per device
    uint64_t sessions = 1;        // per device
    uint32_t frameDelayMs = 0;    // see SimConfig::frameDelayMs
    uint32_t rampMs = 0;          // connections spread over this long
    SimTimeouts timeouts;
    FaultConfig faults; // for every device; one-shot faults count each device's own frames
};

// An empty text when the fleet can be played, otherwise what is wrong.
std::string validate(const FleetConfig &config);

struct FleetDeviceReport {
    uint32_t din = 0;
    uint64_t sessionsStarted = 0;
    uint64_t sessionsCompleted = 0; // the host took the device and sent it to sleep
    uint64_t sessionsFailed = 0;    // started and not completed (refused, cut, failed)
    uint64_t measurementsHandedOver = 0;
    uint64_t sessionsLeftWithMeasurements = 0;
    bool handedOverAll = false; // every planned session completed, nothing left behind
    std::string error;          // why its run failed, if it did
};

struct FleetReport {
    std::string result = "ok"; // "ok", "failed" (a device could not run) or "stopped"
    std::string error;
    uint32_t devices = 0;
    uint64_t sessionsPlanned = 0;
    uint64_t sessionsCompleted = 0;
    uint64_t sessionsFailed = 0;
    uint64_t measurementsPlanned = 0;
    uint64_t measurementsHandedOver = 0;
    uint64_t framesSent = 0; // device frames, resends not counted
    uint64_t framesResent = 0;
    uint32_t devicesHandedOverAll = 0;
    double seconds = 0; // start() until the last device finished (or now)
    std::vector<FleetDeviceReport> perDevice;

    bool everyDeviceHandedOverAll() const { return devices > 0 && devicesHandedOverAll == devices; }
    // One JSON object on one line, with a row per device.
    std::string toJson() const;
    // One line for people: devices, sessions completed and failed, measurements, time.
    std::string summary() const;
};

class Fleet {
public:
    explicit Fleet(FleetConfig config);
    // Stops the devices still playing and waits for their threads.
    ~Fleet();
    Fleet(const Fleet &) = delete;
    Fleet &operator=(const Fleet &) = delete;

    // Starts every device towards host:port. False with a reason when the configuration
    // is bad or a thread could not be made (the devices already started are stopped).
    bool start(const std::string &host, int port, std::string &error);
    // Waits until every device has finished; false when timeoutMs (-1: no limit) passed.
    bool waitDone(int timeoutMs);
    // Ends every device's run soon, from any thread (also from a signal handler through
    // stopSignal().trigger()).
    void stop() { stop_.trigger(); }
    StopSignal &stopSignal() { return stop_; }
    // Waits for every thread (after waitDone, or after stop) and reports.
    FleetReport finish();
    // A snapshot, from any thread once start() has returned.
    FleetReport report() const;
    // start, waitDone(-1), finish.
    FleetReport run(const std::string &host, int port);

private:
    struct Member;
    static void *play(void *member);
    void memberDone();
    void joinAll();

    FleetConfig config_;
    StopSignal stop_;
    std::vector<std::unique_ptr<Member>> members_;
    mutable std::mutex mutex_;
    std::condition_variable allDone_;
    std::size_t running_ = 0;
    int64_t startNs_ = 0;
    int64_t endNs_ = 0;
    std::string startError_;
};

// Raises the soft limit on open descriptors to the hard limit (a fleet needs one per
// device, and the host as many again). Returns the soft limit now in force, -1 when it
// cannot be read.
long raiseDescriptorLimit();

} // namespace lumosim

#endif
