// A recording host for the tests that run the library end to end: an event callback that answers
// like a host application (from a per-device script of actions) and records every event it sees,
// with the data a host would copy out of the record, for the test thread to wait on and check.
#ifndef LIBLUMO_TESTS_HOSTRECORDER_H
#define LIBLUMO_TESTS_HOSTRECORDER_H

#include "liblumo.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace liblumo::test {

struct SeenEvent {
    liblumo::lumo_Event event{};
    bool hasData = false;
    std::string din;
    int64_t atMs = 0; // monotonic
    // Copies a host would make: the status after a sync, each measurement.
    std::optional<liblumo::DeviceStatus> status;
    std::vector<uint8_t> measurement; // the whole Measurement record for EV_MEASUREMENT
    uint32_t samplesArrived = 0;      // and the record's count of samples that arrived
    bool refused = false;             // the host wrote a nonzero answer to it
    liblumo::lumo_ErrorCodes error = liblumo::ERR_NONE;
    void *user = nullptr;
};

// What the host answers to EV_REQUEST_ACTION for one device.
struct Answer {
    uint32_t action = liblumo::EXIT;
    std::vector<uint8_t> data; // copied into answerData
    uint32_t length = 0;       // answerLength
    bool untouched = false;    // write nothing at all into the record
    // Held back (CALIBRATION is answered instead) until this many devices were added.
    int afterAdded = 0;
};

class HostRecorder {
public:
    // The callback to hand to startChannel, with this recorder as the user pointer.
    static int callback(liblumo::lumo_Event event, void *data, void *user,
                        liblumo::lumo_ErrorCodes error);

    // Devices accepted at EV_DEVICE_HANDSHAKE (every one when din is empty); any other is
    // refused.
    void accept(const std::string &din = {});
    // Answers to EV_REQUEST_ACTION for din, one per request, in order; once used up the
    // fallback answer is given (for din if set, else the common one, EXIT unless set).
    void script(const std::string &din, std::vector<Answer> answers);
    void setFallback(const Answer &answer, const std::string &din = {});
    // Called with every event that carries a record, after the scripted answer was
    // written, as a host doing more in its callback would.
    void setHook(std::function<void(liblumo::lumo_Event, liblumo::lumo_EventData &)> hook);

    std::vector<SeenEvent> events() const;
    std::vector<SeenEvent> eventsOf(liblumo::lumo_Event event) const;
    // Events of this kind, of din only when din is given.
    int count(liblumo::lumo_Event event, const std::string &din = {}) const;
    // Waits until at least n such events (of din when given) were seen; false on time-out.
    bool waitFor(liblumo::lumo_Event event, int n, int timeoutMs,
                 const std::string &din = {}) const;
    // The events in order as a compact text ("3:000-001-234 4:000-001-234 ..."), for
    // failure messages.
    std::string trace() const;

private:
    void record(liblumo::lumo_Event event, liblumo::lumo_EventData *data, void *user,
                liblumo::lumo_ErrorCodes error);
    void answer(liblumo::lumo_Event event, liblumo::lumo_EventData &data, const std::string &din);
    int countLocked(liblumo::lumo_Event event, const std::string &din) const;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<SeenEvent> seen;
    std::vector<std::string> accepted;
    std::map<std::string, std::deque<Answer>> scripts;
    std::map<std::string, Answer> fallbacks; // "" holds the common one
    std::function<void(liblumo::lumo_Event, liblumo::lumo_EventData &)> hook;
};

// Shorthands for scripted answers.
Answer act(uint32_t action);
Answer syncWith(const liblumo::DeviceParams &params);

} // namespace liblumo::test

#endif
