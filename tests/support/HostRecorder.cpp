#include "HostRecorder.h"

#include "transports/TimeOut.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>

namespace liblumo::test {

using namespace liblumo;

int HostRecorder::callback(lumo_Event event, void *data, void *user, lumo_ErrorCodes error)
{
    static_cast<HostRecorder *>(user)->record(event, static_cast<lumo_EventData *>(data), user,
                                              error);
    return 0;
}

void HostRecorder::record(lumo_Event event, lumo_EventData *data, void *user, lumo_ErrorCodes error)
{
    SeenEvent seenEvent;
    seenEvent.event = event;
    seenEvent.hasData = data != nullptr;
    seenEvent.atMs = TimeOut::nowMs();
    seenEvent.error = error;
    seenEvent.user = user;
    std::lock_guard<std::mutex> lock(mutex);
    if (data) {
        seenEvent.din.assign(data->din, strnlen(data->din, sizeof data->din));
        if (event == EV_SYNC_DONE || event == EV_ACTION_FAILED) {
            DeviceStatus status;
            std::memcpy(&status, data->payload, sizeof status);
            seenEvent.status = status;
        }
        if (event == EV_MEASUREMENT) {
            seenEvent.measurement.assign(data->payload, data->payload + sizeof(Measurement));
            seenEvent.samplesArrived = data->reserved;
        }
        answer(event, *data, seenEvent.din);
        if (hook)
            hook(event, *data);
        seenEvent.refused = event == EV_MEASUREMENT && data->answer != 0;
    }
    seen.push_back(std::move(seenEvent));
    changed.notify_all();
}

void HostRecorder::answer(lumo_Event event, lumo_EventData &data, const std::string &din)
{
    if (event == EV_DEVICE_HANDSHAKE) {
        data.answer = std::count(accepted.begin(), accepted.end(), din) > 0 ||
                      std::count(accepted.begin(), accepted.end(), std::string()) > 0;
        return;
    }
    if (event != EV_REQUEST_ACTION)
        return;
    const auto own = fallbacks.find(din);
    Answer chosen = own != fallbacks.end() ? own->second : fallbacks[""];
    auto &queue = scripts[din];
    if (!queue.empty()) {
        if (queue.front().afterAdded > countLocked(EV_DEVICE_ADDED, {})) {
            data.answer = CALIBRATION;
            return;
        }
        chosen = queue.front();
        queue.pop_front();
    }
    if (chosen.untouched)
        return;
    data.answer = chosen.action;
    data.answerLength = chosen.length;
    std::copy_n(chosen.data.begin(), std::min(chosen.data.size(), sizeof data.answerData),
                data.answerData);
}

void HostRecorder::accept(const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex);
    accepted.push_back(din);
}

void HostRecorder::setHook(std::function<void(lumo_Event, lumo_EventData &)> value)
{
    std::lock_guard<std::mutex> lock(mutex);
    hook = std::move(value);
}

void HostRecorder::script(const std::string &din, std::vector<Answer> answers)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto &queue = scripts[din];
    queue.insert(queue.end(), answers.begin(), answers.end());
}

void HostRecorder::setFallback(const Answer &answer, const std::string &din)
{
    std::lock_guard<std::mutex> lock(mutex);
    fallbacks[din] = answer;
}

std::vector<SeenEvent> HostRecorder::events() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

std::vector<SeenEvent> HostRecorder::eventsOf(lumo_Event event) const
{
    std::vector<SeenEvent> found;
    for (const SeenEvent &each : events())
        if (each.event == event)
            found.push_back(each);
    return found;
}

int HostRecorder::countLocked(lumo_Event event, const std::string &din) const
{
    return int(std::count_if(seen.begin(), seen.end(), [&](const SeenEvent &each) {
        return each.event == event && (din.empty() || each.din == din);
    }));
}

int HostRecorder::count(lumo_Event event, const std::string &din) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return countLocked(event, din);
}

bool HostRecorder::waitFor(lumo_Event event, int n, int timeoutMs, const std::string &din) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return countLocked(event, din) >= n; });
}

std::string HostRecorder::trace() const
{
    std::ostringstream out;
    for (const SeenEvent &each : events())
        out << int(each.event) << (each.din.empty() ? "" : ":") << each.din << ' ';
    return out.str();
}

Answer act(uint32_t action)
{
    Answer answer;
    answer.action = action;
    return answer;
}

Answer syncWith(const DeviceParams &params)
{
    Answer answer = act(SYNC);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&params);
    answer.data.assign(bytes, bytes + sizeof params);
    answer.length = sizeof params;
    return answer;
}

} // namespace liblumo::test
