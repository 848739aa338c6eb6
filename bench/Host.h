// A benchmark host: one channel of the library with a callback that accepts every device
// and answers EV_REQUEST_ACTION according to a plan, and waits for events.
#ifndef LUMO_BENCH_HOST_H
#define LUMO_BENCH_HOST_H

#include "Stats.h"
#include "liblumo.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace bench {

// What the host answers when a device asks for its next action.
enum class Plan {
    TransferThenSleep, // DATA_TRANSFER once, then SLEEP
    Control,           // CONTROL every time: keep-alives only
    Calibration,       // CALIBRATION every time: nothing is sent to the device
};

struct HostCounters {
    int handshakes = 0;
    int added = 0;
    int measurements = 0;
    int transfersDone = 0;
    int actionsFailed = 0;
    int keepAlivesFailed = 0;
    int stopped = 0;
    uint64_t samples = 0;            // sum of the samples announced by the headers received
    bool badSamples = false;         // a sample did not match the simulator's pattern
    Clock::time_point transferStart; // DATA_TRANSFER answered
    Clock::time_point transferEnd;   // EV_TRANSFER_DONE seen
};

class Host {
public:
    Host(liblumo::LibLumo &library, Plan plan);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Opens a TCP channel on the port, or a serial channel on the path.
    bool startTcp(int port);
    bool startSerial(const std::string &path);
    // stopChannel; returns the seconds it took.
    double stop();
    bool running() const { return channelId > 0; }

    // Waits until the predicate holds for the counters or the time passes.
    template <typename Predicate> bool waitFor(Predicate predicate, double seconds)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                [&] { return predicate(counters); });
    }
    HostCounters snapshot();
    void resetCounters();
    // Samples expected per measurement; checked against the announced count when nonzero.
    void expectSamples(uint32_t value) { expectedSamples = value; }

private:
    static int onEvent(liblumo::lumo_Event event, void *data, void *user,
                       liblumo::lumo_ErrorCodes error);
    void handle(liblumo::lumo_Event event, liblumo::lumo_EventData *data);
    uint32_t answerFor(const liblumo::lumo_EventData &data);
    bool startWith(liblumo::IChannelProfile *newProfile);

    liblumo::LibLumo &library;
    Plan plan;
    liblumo::IChannelProfile *profile = nullptr;
    int channelId = 0;
    uint32_t expectedSamples = 0;
    bool transferAsked = false;
    std::mutex mutex;
    std::condition_variable changed;
    HostCounters counters;
};

} // namespace bench

#endif
