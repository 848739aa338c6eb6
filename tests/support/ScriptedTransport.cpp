#include "ScriptedTransport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace liblumo::test {

namespace {
constexpr uint8_t kAckByte = 0x06;
}

void ScriptedTransport::feed(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        script.push_back({Step::Data, bytes});
}

void ScriptedTransport::feedBytewise(const QByteArray &bytes)
{
    for (char byte : bytes)
        script.push_back({Step::Data, QByteArray(1, byte)});
}

void ScriptedTransport::feedTimeout()
{
    script.push_back({Step::Timeout, {}});
}

void ScriptedTransport::feedFailure()
{
    script.push_back({Step::Failure, {}});
}

void ScriptedTransport::replyToNextFrames(const std::vector<QByteArray> &replies)
{
    frameReplies.insert(frameReplies.end(), replies.begin(), replies.end());
}

QByteArray ScriptedTransport::wire() const
{
    QByteArray all;
    for (const QByteArray &bytes : written)
        all += bytes;
    return all;
}

int ScriptedTransport::pendingBytes() const
{
    int count = 0;
    for (const Step &step : script)
        count += step.bytes.size() - step.offset;
    return count;
}

int ScriptedTransport::write(const uint8_t *data, int size)
{
    if (recording) {
        const QByteArray bytes(reinterpret_cast<const char *>(data), size);
        written.push_back(bytes);
        eventLog.push_back("write " + bytes.toHex().toUpper().toStdString());
    }
    const bool isFrame = size > 1;
    if (isFrame) {
        if (!frameReplies.empty()) {
            if (!frameReplies.front().isEmpty())
                script.push_front({Step::Data, frameReplies.front()});
            frameReplies.pop_front();
        } else if (autoAck) {
            script.push_front({Step::Data, QByteArray(1, char(kAckByte))});
        }
    }
    return isFrame && shortFrameWrites ? size - 1 : size;
}

int ScriptedTransport::read(uint8_t *buffer, int size)
{
    if (recording)
        askedSizes.push_back(size);
    if (script.empty()) {
        if (!waitWhenIdle)
            return 0;
        // A silent device: the wait ends with its time-out, or at once on a stop.
        if (stopSignal() != nullptr && clock == nullptr)
            return stopSignal()->wait(timeoutMs) ? -1 : 0;
        waitForTimeout();
        return 0;
    }
    Step &step = script.front();
    if (step.kind != Step::Data) {
        const bool timedOut = step.kind == Step::Timeout;
        script.pop_front();
        if (timedOut && clock != nullptr)
            clock->advance(timeoutMs);
        return timedOut ? 0 : -1;
    }
    const int count = std::min(readCap(size), step.bytes.size() - step.offset);
    std::memcpy(buffer, step.bytes.constData() + step.offset, size_t(count));
    step.offset += count;
    if (step.offset == step.bytes.size())
        script.pop_front();
    return count;
}

int ScriptedTransport::readCap(int size)
{
    if (readCaps.empty())
        return size;
    const int cap = readCaps[cappedReads++ % readCaps.size()];
    return std::min(size, cap);
}

void ScriptedTransport::waitForTimeout()
{
    if (clock != nullptr)
        clock->advance(timeoutMs);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
}

bool ScriptedTransport::setTimeout(int ms)
{
    if (recording)
        timeoutsSet.push_back(ms);
    timeoutMs = ms < 0 ? kDefaultTimeoutMs : ms;
    return true;
}

bool ScriptedTransport::disconnect()
{
    ++disconnectCount;
    return true;
}

void ScriptedTransport::discardInput()
{
    // Scripted input stands for what the device sends later, so nothing is dropped.
    ++discardCount;
    if (recording)
        eventLog.push_back("discard");
}

bool ScriptedTransport::isDataAvailable()
{
    return !script.empty();
}

} // namespace liblumo::test
