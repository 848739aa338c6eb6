#include "HostRecorder.h"

#include "transports/TimeOut.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>

namespace liblumo::test {

using namespace liblumo;

HostRecorder::HostRecorder()
{
    fallback.action = EXIT;
}

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
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (data)
        answer(event, *data, seenEvent.din);
    if (data && hook)
        hook(event, *data);
    if (data && event == EV_MEASUREMENT)
        seenEvent.refused = data->answer != 0;
    seen.push_back(std::move(seenEvent));
    changed.notify_all();
}

void HostRecorder::answer(lumo_Event event, lumo_EventData &data, const std::string &din)
{
    if (event == EV_DEVICE_HANDSHAKE && handshakeAnswer) {
        data.answer = *handshakeAnswer;
        return;
    }
    if (event == EV_DEVICE_HANDSHAKE) {
        const bool accept =
            acceptEveryone || std::find(accepted.begin(), accepted.end(), din) != accepted.end();
        data.answer = accept ? 1 : 0;
        return;
    }
    if (event != EV_REQUEST_ACTION)
        return;
    auto ownFallback = fallbacks.find(din);
    Answer chosen = ownFallback != fallbacks.end() ? ownFallback->second : fallback;
    auto found = scripts.find(din);
    if (found != scripts.end() && !found->second.empty()) {
        const int added = int(std::count_if(seen.begin(), seen.end(), [](const SeenEvent &each) {
            return each.event == EV_DEVICE_ADDED;
        }));
        if (found->second.front().afterAdded > added) {
            data.answer = CALIBRATION;
            return;
        }
        chosen = found->second.front();
        found->second.pop_front();
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

void HostRecorder::acceptAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    acceptEveryone = true;
}

void HostRecorder::setHandshakeAnswer(uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex);
    handshakeAnswer = value;
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

void HostRecorder::setFallback(const Answer &answer)
{
    std::lock_guard<std::mutex> lock(mutex);
    fallback = answer;
}

void HostRecorder::setFallback(const std::string &din, const Answer &answer)
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

int HostRecorder::count(lumo_Event event) const
{
    return int(eventsOf(event).size());
}

int HostRecorder::count(lumo_Event event, const std::string &din) const
{
    const auto all = eventsOf(event);
    return int(std::count_if(all.begin(), all.end(),
                             [&](const SeenEvent &each) { return each.din == din; }));
}

bool HostRecorder::waitUntil(const std::function<bool()> &done, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool HostRecorder::waitFor(lumo_Event event, int n, int timeoutMs) const
{
    return waitUntil(
        [&] {
            return std::count_if(seen.begin(), seen.end(),
                                 [&](const SeenEvent &each) { return each.event == event; }) >= n;
        },
        timeoutMs);
}

bool HostRecorder::waitFor(lumo_Event event, const std::string &din, int n, int timeoutMs) const
{
    return waitUntil(
        [&] {
            return std::count_if(seen.begin(), seen.end(), [&](const SeenEvent &each) {
                       return each.event == event && each.din == din;
                   }) >= n;
        },
        timeoutMs);
}

std::string HostRecorder::trace() const
{
    std::ostringstream out;
    for (const SeenEvent &each : events())
        out << int(each.event) << (each.din.empty() ? "" : ":") << each.din << ' ';
    return out.str();
}

Answer act(RequestAction action)
{
    Answer answer;
    answer.action = action;
    return answer;
}

Answer rawAnswer(uint32_t value)
{
    Answer answer;
    answer.action = value;
    return answer;
}

Answer untouched()
{
    Answer answer;
    answer.untouched = true;
    return answer;
}

Answer syncWith(const DeviceParams &params)
{
    Answer answer;
    answer.action = SYNC;
    const auto *bytes = reinterpret_cast<const uint8_t *>(&params);
    answer.data.assign(bytes, bytes + sizeof params);
    answer.length = sizeof params;
    return answer;
}

} // namespace liblumo::test
