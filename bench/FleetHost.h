// The host of a fleet channel (FleetTCPProfile): its callback runs on many connections'
// threads at once, so everything it keeps is per DIN under one lock. Every device is
// accepted, transfers its measurements and is sent to sleep (or is held in CONTROL);
// every measurement is checked against what the simulated device holds, sample by
// sample or (cheaper, for the benchmark) by its header and first and last samples.
#ifndef LUMO_BENCH_FLEETHOST_H
#define LUMO_BENCH_FLEETHOST_H

#include "SimConfig.h"
#include "Stats.h"
#include "liblumo.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bench {

enum class FleetPlan {
    TransferThenSleep, // DATA_TRANSFER, then SLEEP once EV_TRANSFER_DONE came
    Control,           // CONTROL every time: the connection stays up with keep-alives
};

enum class SampleCheck { Every, Ends };

struct FleetCounts {
    uint64_t handshakes = 0;
    uint64_t added = 0;
    uint64_t measurements = 0;
    uint64_t badMeasurements = 0; // header or samples differ from the device's
    uint64_t duplicates = 0;      // a measurement delivered twice in one session
    uint64_t transfersDone = 0;
    uint64_t actionsFailed = 0;
    uint64_t keepAlivesFailed = 0;
    uint64_t sessionsShort = 0; // EV_TRANSFER_DONE before every measurement of the session
    int active = 0;             // devices between their handshake and their SLEEP
    int maxActive = 0;
    uint64_t eventsAfterStop = 0; // any event after EV_CHANNEL_STOPPED
    bool stopped = false;
    std::string firstProblem;
    Clock::time_point firstHandshake; // of the whole channel
    Clock::time_point lastTransferDone;
    // First handshake to last EV_TRANSFER_DONE: the sessions' span, their final sleep aside.
    double sessionsSeconds() const
    {
        return std::chrono::duration<double>(lastTransferDone - firstHandshake).count();
    }
};

class FleetHost {
public:
    // `device` gives every device's settings; a device's DIN picks its seed (the DIN).
    FleetHost(liblumo::LibLumo &library, const lumosim::SimDevice &device, FleetPlan plan,
              SampleCheck check);
    ~FleetHost();
    FleetHost(const FleetHost &) = delete;
    FleetHost &operator=(const FleetHost &) = delete;

    // A FleetTCPProfile channel on the port with the connection limit; 0: a plain
    // TCPProfile, one connection at a time.
    bool start(int port, int maxConnections);
    // stopChannel; returns the seconds it took.
    double stop();

    FleetCounts counts();
    // Waits until `sessions` transfers have ended (done or failed) or the time passed.
    bool waitForSessions(uint64_t sessions, double seconds);
    // Waits until `devices` devices have been added (handshakes completed).
    bool waitForAdded(uint64_t devices, double seconds);
    // DINs whose last event came after EV_CHANNEL_STOPPED, or that had none before it.
    std::vector<std::string> dinsWithEventsAfterStop();

private:
    struct DinState {
        bool transferAsked = false;
        bool transferDone = false;
        bool active = false;
        uint32_t receivedMask = 0; // indices of this session's measurements seen
        uint32_t received = 0;
        uint64_t lastEvent = 0; // sequence number of its last event
    };

    static int onEvent(liblumo::lumo_Event event, void *data, void *user,
                       liblumo::lumo_ErrorCodes error);
    void handle(liblumo::lumo_Event event, liblumo::lumo_EventData *data);
    void handleDevice(liblumo::lumo_Event event, liblumo::lumo_EventData &data, DinState &state);
    void check(const std::string &din, const liblumo::Measurement &m, DinState &state);
    void setActive(DinState &state, bool active);
    void problem(const std::string &what);

    liblumo::LibLumo &library;
    lumosim::SimDevice device;
    FleetPlan plan;
    SampleCheck sampleCheck;
    std::unique_ptr<liblumo::TCPProfile> profile;
    int channelId = 0;
    std::mutex mutex;
    std::condition_variable changed;
    FleetCounts totals;
    std::map<std::string, DinState> dins;
    uint64_t sequence = 0;
    uint64_t stoppedAt = 0; // sequence of EV_CHANNEL_STOPPED
};

// The DIN number behind a DIN text "NNN-NNN-NNN"; 0 for anything else.
uint32_t dinNumber(const std::string &text);

} // namespace bench

#endif
