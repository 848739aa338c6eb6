#include "WireTap.h"

#include "PosixTcp.h"
#include "TapIo.h"
#include "transports/TimeOut.h"

#include <array>

namespace e2e {

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr std::size_t kFrameHead = 6;  // STX, packet number, length, command
constexpr std::size_t kLengthBias = 2; // the length field counts the data plus 2
constexpr int kConnectTimeoutMs = 10000;
constexpr int kPollMs = 1000;
constexpr std::size_t kChunk = 4096;

uint16_t bigEndian(const uint8_t *bytes)
{
    return uint16_t(bytes[0] << 8 | bytes[1]);
}

} // namespace

std::vector<HostUnit> splitHostStream(const std::vector<uint8_t> &bytes,
                                      const std::vector<int64_t> &arrival)
{
    std::vector<HostUnit> units;
    std::size_t at = 0;
    while (at < bytes.size()) {
        HostUnit unit;
        unit.atMs = arrival[at];
        const uint8_t first = bytes[at];
        if (first != kStx) {
            unit.kind = first == kAck   ? HostUnit::Ack
                        : first == kNak ? HostUnit::Nak
                                        : HostUnit::Stray;
            unit.raw = {first};
            units.push_back(unit);
            ++at;
            continue;
        }
        if (bytes.size() - at < kFrameHead)
            break;
        const std::size_t length = bigEndian(&bytes[at + 3]);
        const std::size_t dataSize = length >= kLengthBias ? length - kLengthBias : 0;
        const std::size_t total = kFrameHead + dataSize + 1;
        if (bytes.size() - at < total)
            break;
        unit.kind = HostUnit::Frame;
        unit.raw.assign(bytes.begin() + long(at), bytes.begin() + long(at + total));
        unit.packet = bigEndian(&bytes[at + 1]);
        unit.command = bytes[at + 5];
        unit.data.assign(unit.raw.begin() + long(kFrameHead), unit.raw.end() - 1);
        units.push_back(unit);
        at += total;
    }
    return units;
}

WireTap::WireTap()
{
    io::socketPair(wakeRead, wakeWrite);
}

WireTap::~WireTap()
{
    const uint8_t wake = 1;
    io::writeAll(wakeWrite, &wake, 1);
    if (worker.joinable())
        worker.join();
    closeBoth(false);
    io::closeFd(wakeRead);
    io::closeFd(wakeWrite);
}

int WireTap::connect(int port, std::string &error)
{
    lumosim::UniqueFd library =
        lumosim::connectTcp("127.0.0.1", port, kConnectTimeoutMs, nullptr, error);
    if (!library.valid())
        return -1;
    int simulatorEnd = -1;
    if (!io::socketPair(simulatorEnd, deviceFd)) {
        error = "no socket pair";
        return -1;
    }
    libraryFd = library.release();
    worker = std::thread(&WireTap::relay, this);
    return simulatorEnd;
}

void WireTap::cutNow()
{
    const uint8_t cut = 2;
    io::writeAll(wakeWrite, &cut, 1);
}

void WireTap::relay()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closed)
                return;
        }
        const std::array<int, 3> fds{libraryFd, deviceFd, wakeRead};
        bool ready[3] = {false, false, false};
        if (!io::waitAny(fds.data(), ready, fds.size(), kPollMs))
            continue;
        if (ready[2]) {
            uint8_t reason = 0;
            io::readSome(wakeRead, &reason, 1);
            closeBoth(false);
            return;
        }
        if (ready[0] && !forwardFromHost())
            return;
        if (ready[1] && !forwardFromDevice())
            return;
    }
}

bool WireTap::forwardFromHost()
{
    uint8_t buffer[kChunk];
    const long got = io::readSome(libraryFd, buffer, sizeof buffer);
    if (got == io::kNothingYet)
        return true;
    if (got <= 0) {
        closeBoth(true);
        return false;
    }
    bool cut = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const int64_t now = TimeOut::nowMs();
        fromHost.insert(fromHost.end(), buffer, buffer + got);
        arrival.insert(arrival.end(), std::size_t(got), now);
        if (cutCommand >= 0) {
            for (const HostUnit &unit : splitHostStream(fromHost, arrival))
                cut = cut || (unit.kind == HostUnit::Frame && unit.command == cutCommand);
        }
        changed.notify_all();
    }
    if (cut) {
        closeBoth(false);
        return false;
    }
    if (!io::writeAll(deviceFd, buffer, std::size_t(got))) {
        closeBoth(false);
        return false;
    }
    return true;
}

bool WireTap::forwardFromDevice()
{
    uint8_t buffer[kChunk];
    const long got = io::readSome(deviceFd, buffer, sizeof buffer);
    if (got == io::kNothingYet)
        return true;
    if (got <= 0 || !io::writeAll(libraryFd, buffer, std::size_t(got))) {
        closeBoth(false);
        return false;
    }
    return true;
}

void WireTap::closeBoth(bool byHost)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (closed)
        return;
    closed = true;
    closedByHost = byHost;
    closedAtMs = TimeOut::nowMs();
    io::closeFd(libraryFd);
    io::closeFd(deviceFd);
    libraryFd = -1;
    deviceFd = -1;
    changed.notify_all();
}

std::vector<HostUnit> WireTap::hostUnits() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return splitHostStream(fromHost, arrival);
}

std::vector<HostUnit> WireTap::hostFrames(uint8_t command) const
{
    std::vector<HostUnit> frames;
    for (const HostUnit &unit : hostUnits())
        if (unit.kind == HostUnit::Frame && unit.command == command)
            frames.push_back(unit);
    return frames;
}

std::vector<uint8_t> WireTap::hostBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return fromHost;
}

bool WireTap::waitHostFrames(uint8_t command, std::size_t n, int timeoutMs) const
{
    const auto enough = [&] {
        std::size_t found = 0;
        for (const HostUnit &unit : splitHostStream(fromHost, arrival))
            found += unit.kind == HostUnit::Frame && unit.command == command;
        return found >= n;
    };
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return enough() || closed; });
    return enough();
}

bool WireTap::waitHostClosed(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return closed && closedByHost; });
}

bool WireTap::hostClosed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return closed && closedByHost;
}

int64_t WireTap::hostClosedAtMs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return closedAtMs;
}

} // namespace e2e
