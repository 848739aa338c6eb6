#include "Fixtures.h"

#include "PosixTcp.h"
#include "Waveform.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace e2e {

using namespace liblumo;

namespace {
constexpr uint8_t kStx = 0x02;
constexpr std::size_t kFrameHead = 6;  // STX, packet number, length, command
constexpr std::size_t kLengthBias = 2; // the length field counts the data plus 2
constexpr int kPtyOpenTimeoutMs = 20000;
constexpr int kPollMs = 1000;

// Splits the library's byte stream into units; a frame still incomplete is left out.
std::vector<HostUnit> splitHostStream(const Bytes &bytes, const std::vector<int64_t> &arrival)
{
    std::vector<HostUnit> units;
    for (std::size_t at = 0; at < bytes.size();) {
        HostUnit unit;
        unit.atMs = arrival[at];
        std::size_t total = 1;
        if (bytes[at] == kStx) {
            if (bytes.size() - at < kFrameHead)
                break;
            const std::size_t length = std::size_t(bytes[at + 3] << 8 | bytes[at + 4]);
            total = kFrameHead + (length >= kLengthBias ? length - kLengthBias : 0) + 1;
            if (bytes.size() - at < total)
                break;
            unit.kind = HostUnit::Frame;
            unit.command = bytes[at + 5];
            unit.data.assign(bytes.begin() + long(at + kFrameHead),
                             bytes.begin() + long(at + total - 1));
        } else {
            unit.kind = bytes[at] == 0x06   ? HostUnit::Ack
                        : bytes[at] == 0x15 ? HostUnit::Nak
                                            : HostUnit::Stray;
        }
        unit.raw.assign(bytes.begin() + long(at), bytes.begin() + long(at + total));
        units.push_back(unit);
        at += total;
    }
    return units;
}
} // namespace

int freeTcpPort(bool listening)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (listening && port != 0 && ::listen(fd, 1) == 0)
        return fd;
    ::close(fd);
    return listening ? -1 : port;
}

bool writeAll(int fd, const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
        if (put < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, kPollMs);
        } else if (put <= 0) {
            return false;
        } else {
            data += put;
            size -= std::size_t(put);
        }
    }
    return true;
}

WireTap::~WireTap()
{
    wake.trigger();
    if (worker.joinable())
        worker.join();
    closeBoth(false);
}

int WireTap::connect(int port)
{
    std::string error;
    lumosim::UniqueFd library =
        lumosim::connectTcp("127.0.0.1", port, kEventWaitMs, nullptr, error);
    int pair[2] = {-1, -1};
    if (!library.valid() || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    libraryFd = library.release();
    deviceFd = pair[1];
    worker = std::thread(&WireTap::relay, this);
    return pair[0];
}

void WireTap::relay()
{
    for (;;) {
        pollfd fds[3] = {{libraryFd, POLLIN, 0}, {deviceFd, POLLIN, 0}, {wake.waitFd(), POLLIN, 0}};
        if (::poll(fds, 3, kPollMs) <= 0)
            continue;
        if (fds[2].revents != 0)
            return closeBoth(false);
        if ((fds[0].revents != 0 && !forward(libraryFd, deviceFd, true)) ||
            (fds[1].revents != 0 && !forward(deviceFd, libraryFd, false)))
            return;
    }
}

bool WireTap::forward(int from, int to, bool fromLibrary)
{
    uint8_t buffer[4096];
    const ssize_t got = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return true;
    bool cut = got <= 0;
    if (fromLibrary && got > 0) {
        std::lock_guard<std::mutex> lock(mutex);
        fromHost.insert(fromHost.end(), buffer, buffer + got);
        arrival.insert(arrival.end(), std::size_t(got), TimeOut::nowMs());
        for (const HostUnit &unit :
             cutCommand < 0 ? std::vector<HostUnit>{} : splitHostStream(fromHost, arrival))
            cut = cut || (unit.kind == HostUnit::Frame && unit.command == cutCommand);
        changed.notify_all();
    }
    if (cut || !writeAll(to, buffer, std::size_t(got))) {
        closeBoth(fromLibrary && got <= 0);
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
    ::close(libraryFd);
    ::close(deviceFd);
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
                            [&] { return closedByHost; });
}

int64_t WireTap::hostClosedAtMs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return closedByHost ? closedAtMs : -1;
}

LibLumo &library()
{
    static LibLumo instance;
    return instance;
}

Channel::Channel(HostRecorder &host, std::unique_ptr<IChannelProfile> channelProfile, int tcpPort)
    : profile(std::move(channelProfile)), port(tcpPort)
{
    lumo_ErrorCodes error = ERR_THREAD_START;
    id = library().startChannel(profile.get(), &HostRecorder::callback, &host, &error);
    stopped = error != ERR_NONE;
}

int64_t Channel::stop()
{
    const int64_t start = TimeOut::nowMs();
    lumo_ErrorCodes error = ERR_NONE;
    if (!std::exchange(stopped, true))
        library().stopChannel(id, &error);
    return TimeOut::nowMs() - start;
}

std::unique_ptr<Channel> tcpChannel(HostRecorder &host, int fleetLimit)
{
    const int port = freeTcpPort();
    std::unique_ptr<TCPProfile> profile = std::make_unique<TCPProfile>();
    if (fleetLimit > 0) {
        auto fleet = std::make_unique<FleetTCPProfile>();
        fleet->setMaxConnections(fleetLimit);
        profile = std::move(fleet);
    }
    profile->setServerPort(std::to_string(port));
    return std::make_unique<Channel>(host, std::move(profile), port);
}

std::unique_ptr<Channel> serialChannel(HostRecorder &host, const std::string &path)
{
    auto profile = std::make_unique<SerialProfile>();
    profile->setPortName(path);
    return std::make_unique<Channel>(host, std::move(profile), 0);
}

SimRun::~SimRun()
{
    sim.stop();
    if (thread.joinable())
        thread.join();
}

void SimRun::play()
{
    sim.run(*links);
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
}

bool SimRun::overTcp(int port)
{
    const int fd = tap.connect(port);
    if (fd < 0)
        return false;
    link = std::make_unique<lumosim::Link>(lumosim::UniqueFd(fd), "tap");
    links = std::make_unique<lumosim::FixedLinkProvider>(*link);
    thread = std::thread(&SimRun::play, this);
    return true;
}

bool SimRun::overPty(const std::string &symlinkPath)
{
    auto pty =
        std::make_unique<lumosim::PtyLinkProvider>(symlinkPath, 0, kPtyOpenTimeoutMs, nullptr);
    std::string error;
    if (!pty->prepare(error))
        return false;
    links = std::move(pty);
    thread = std::thread(&SimRun::play, this);
    return true;
}

bool SimRun::waitDone(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done; });
}

lumosim::DeviceReport SimRun::device(uint32_t din) const
{
    const lumosim::SimReport all = sim.report();
    const lumosim::DeviceReport *found = all.device(din);
    EXPECT_NE(found, nullptr) << din;
    return found ? *found : lumosim::DeviceReport{};
}

lumosim::SimDevice device(uint32_t din, uint32_t measurements, uint32_t blocks,
                          uint32_t samplesPerBlock)
{
    lumosim::SimDevice simulated = lumosim::defaultDevice(din);
    simulated.measurements = measurements;
    simulated.blocks = blocks;
    simulated.samplesPerBlock = samplesPerBlock;
    return simulated;
}

lumosim::SimConfig oneDevice(const lumosim::SimDevice &simulated)
{
    lumosim::SimConfig config;
    config.devices.push_back(simulated);
    return config;
}

std::vector<lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from)
{
    std::vector<lumo_Event> found;
    for (std::size_t i = from; i < events.size(); ++i)
        found.push_back(events[i].event);
    return found;
}

void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index,
                       bool exactCounts)
{
    ASSERT_EQ(seen.measurement.size(), sizeof(Measurement));
    EXPECT_EQ(seen.din, dinText(device.din));
    auto record = std::make_unique<Measurement>();
    std::memcpy(record.get(), seen.measurement.data(), sizeof(Measurement));
    const lumosim::MeasurementHeader header = lumosim::expectedHeader(device, index);
    const lumosim::wire::Clock clock = lumosim::wire::unpackClock(header.dtime);
    EXPECT_EQ(record->dtime.packed, header.dtime);
    EXPECT_EQ(std::vector<int>({record->dtime.year, record->dtime.month, record->dtime.day,
                                record->dtime.hour, record->dtime.min, record->dtime.sec}),
              std::vector<int>({clock.year - 2000, clock.month, clock.day, clock.hour, clock.minute,
                                clock.second}));
    EXPECT_EQ(record->typeset, header.typeset);
    EXPECT_TRUE(!exactCounts || (record->ns == header.ns && record->nss == header.nss));
    const std::vector<uint16_t> samples = lumosim::expectedSamples(device, index);
    ASSERT_EQ(seen.samplesArrived, samples.size());
    EXPECT_EQ(std::memcmp(record->samples, samples.data(), samples.size() * 2), 0);
    for (std::size_t i = samples.size(); i < kMaxSamples; ++i)
        ASSERT_EQ(record->samples[i], 0) << "sample " << i << " behind the last";
}

void expectAllMeasurements(const HostRecorder &host, const lumosim::SimDevice &simulated,
                           bool exactCounts)
{
    std::vector<SeenEvent> kept;
    for (const SeenEvent &seen : host.eventsOf(EV_MEASUREMENT))
        if (seen.din == dinText(simulated.din) && !seen.refused)
            kept.push_back(seen);
    ASSERT_EQ(kept.size(), simulated.measurements) << host.trace();
    for (uint32_t index = 0; index < kept.size(); ++index) {
        SCOPED_TRACE(index);
        expectMeasurement(kept[index], simulated, index, exactCounts);
    }
}

} // namespace e2e
