// The host side of the soak runs: one channel of the library whose callback accepts the
// simulated device, transfers its measurements, sends it to sleep, and checks every
// measurement it receives against what the simulator's device holds.
#ifndef LUMO_SOAK_SOAKHOST_H
#define LUMO_SOAK_SOAKHOST_H

#include "SimConfig.h"
#include "liblumo.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

struct SoakCounts {
    uint64_t added = 0;
    uint64_t measurements = 0;    // EV_MEASUREMENT received
    uint64_t badMeasurements = 0; // header or samples differed from the device's
    uint64_t transfersDone = 0;
    uint64_t actionsFailed = 0;
    uint64_t otherFailures = 0; // EV_KEEPALIVE_FAILED, or a DIN the host did not expect
    std::string firstProblem;   // what the first bad measurement or failure was
};

class SoakHost {
public:
    // The device the simulator plays on this channel, to check the measurements against.
    SoakHost(liblumo::LibLumo &library, const lumosim::SimDevice &device);
    ~SoakHost();
    SoakHost(const SoakHost &) = delete;
    SoakHost &operator=(const SoakHost &) = delete;

    bool startTcp(int port);
    bool startSerial(const std::string &path);
    void stop();

    SoakCounts counts();
    // Waits until `transfers` transfers have ended (done or failed) or the time passed.
    bool waitForTransfers(uint64_t transfers, double seconds);

private:
    static int onEvent(liblumo::lumo_Event event, void *data, void *user,
                       liblumo::lumo_ErrorCodes error);
    void handle(liblumo::lumo_Event event, liblumo::lumo_EventData &data);
    void check(const liblumo::Measurement &measurement);
    void problem(const std::string &what);
    bool startWith(liblumo::IChannelProfile *profile);

    liblumo::LibLumo &library;
    lumosim::SimDevice device;
    std::string din; // "NNN-NNN-NNN"
    liblumo::IChannelProfile *profile = nullptr;
    int channelId = 0;
    bool transferAsked = false; // for the device of the current session
    std::mutex mutex;
    std::condition_variable changed;
    SoakCounts totals;
};

// The DIN text a device number shows in events.
std::string dinText(uint32_t number);

} // namespace soak

#endif
