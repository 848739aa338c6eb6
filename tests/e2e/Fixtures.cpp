#include "Fixtures.h"

#include "PosixTcp.h"
#include "Waveform.h"
#include "transports/TimeOut.h"

#include <QDateTime>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace e2e {

using namespace liblumo;

namespace {
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr std::size_t kFrameHead = 6;  // STX, packet number, length, command
constexpr std::size_t kLengthBias = 2; // the length field counts the data plus 2
constexpr int kConnectTimeoutMs = 10000;
constexpr int kPtyOpenTimeoutMs = 20000;
constexpr int kPollMs = 1000;
constexpr std::size_t kChunk = 4096;
constexpr int kYearBase = 2000;
constexpr int kClockSlackSeconds = 10;

// The whole program runs five hours east of UTC, so a local time sent where UTC belongs
// shows. Set before main, while no thread can read the environment.
const bool kZoneSet = [] {
    setenv("TZ", "XST-5", 1);
    tzset();
    return true;
}();

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

// Splits the library's byte stream into units; a frame still incomplete is left out.
std::vector<HostUnit> splitHostStream(const Bytes &bytes, const std::vector<int64_t> &arrival)
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
        const std::size_t length = std::size_t(bytes[at + 3] << 8 | bytes[at + 4]);
        const std::size_t total =
            kFrameHead + (length >= kLengthBias ? length - kLengthBias : 0) + 1;
        if (bytes.size() - at < total)
            break;
        unit.kind = HostUnit::Frame;
        unit.raw.assign(bytes.begin() + long(at), bytes.begin() + long(at + total));
        unit.command = bytes[at + 5];
        unit.data.assign(unit.raw.begin() + long(kFrameHead), unit.raw.end() - 1);
        units.push_back(unit);
        at += total;
    }
    return units;
}
} // namespace

namespace io {

int freeTcpPort(bool listening)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (listening && port != 0 && ::listen(fd, 1) == 0)
        return fd;
    closeFd(fd);
    return listening ? -1 : port;
}

bool writeAll(int fd, const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
        if (put < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, kPollMs);
            continue;
        }
        if (put <= 0)
            return false;
        data += put;
        size -= std::size_t(put);
    }
    return true;
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace io

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
        lumosim::connectTcp("127.0.0.1", port, kConnectTimeoutMs, nullptr, error);
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
        if (fds[0].revents != 0 && !forward(libraryFd, deviceFd, true))
            return;
        if (fds[1].revents != 0 && !forward(deviceFd, libraryFd, false))
            return;
    }
}

bool WireTap::forward(int from, int to, bool fromLibrary)
{
    uint8_t buffer[kChunk];
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
    if (cut || !io::writeAll(to, buffer, std::size_t(got))) {
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
    io::closeFd(libraryFd);
    io::closeFd(deviceFd);
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
                            [&] { return closed && closedByHost; });
}

int64_t WireTap::hostClosedAtMs() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return closed && closedByHost ? closedAtMs : -1;
}

LibLumo &library()
{
    static LibLumo instance;
    return instance;
}

Channel::Channel(HostRecorder &host, std::unique_ptr<IChannelProfile> channelProfile, int port)
    : profile(std::move(channelProfile)), tcpPort(port)
{
    lumo_ErrorCodes error = ERR_THREAD_START;
    channelId = library().startChannel(profile.get(), &HostRecorder::callback, &host, &error);
    stopped = error != ERR_NONE;
}

std::unique_ptr<Channel> Channel::tcp(HostRecorder &host)
{
    const int port = io::freeTcpPort();
    auto profile = std::make_unique<TCPProfile>();
    profile->setServerPort(std::to_string(port));
    return std::unique_ptr<Channel>(new Channel(host, std::move(profile), port));
}

std::unique_ptr<Channel> Channel::fleet(HostRecorder &host, int maxConnections)
{
    const int port = io::freeTcpPort();
    auto profile = std::make_unique<FleetTCPProfile>();
    profile->setServerPort(std::to_string(port));
    profile->setMaxConnections(maxConnections);
    return std::unique_ptr<Channel>(new Channel(host, std::move(profile), port));
}

std::unique_ptr<Channel> Channel::serial(HostRecorder &host, const std::string &path)
{
    auto profile = std::make_unique<SerialProfile>();
    profile->setPortName(path);
    return std::unique_ptr<Channel>(new Channel(host, std::move(profile), 0));
}

int64_t Channel::stop()
{
    if (stopped)
        return 0;
    stopped = true;
    const int64_t start = TimeOut::nowMs();
    lumo_ErrorCodes error = ERR_THREAD_START;
    library().stopChannel(channelId, &error);
    return TimeOut::nowMs() - start;
}

SimRun::~SimRun()
{
    sim.stop();
    if (thread.joinable())
        thread.join();
}

void SimRun::play(lumosim::LinkProvider &provider)
{
    sim.run(provider);
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
    thread = std::thread([this] { play(*links); });
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
    thread = std::thread([this] { play(*links); });
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

std::string dinText(uint32_t din)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03u-%03u-%03u", din / 1000000 % 1000, din / 1000 % 1000,
                  din % 1000);
    return text;
}

Bytes frameBytes(uint16_t packet, uint8_t command, const Bytes &data)
{
    const std::size_t length = data.size() + kLengthBias;
    Bytes bytes{
        kStx,   uint8_t(packet >> 8), uint8_t(packet), uint8_t(length >> 8), uint8_t(length),
        command};
    bytes.reserve(kFrameHead + data.size() + 1);
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t lrc = 0;
    for (uint8_t byte : bytes)
        lrc ^= byte;
    bytes.push_back(lrc);
    return bytes;
}

std::vector<lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from)
{
    std::vector<lumo_Event> found;
    for (std::size_t i = from; i < events.size(); ++i)
        found.push_back(events[i].event);
    return found;
}

std::vector<Bytes> rawUnits(const std::vector<HostUnit> &units)
{
    std::vector<Bytes> raw;
    for (const HostUnit &unit : units)
        raw.push_back(unit.raw);
    return raw;
}

void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index,
                       bool exactCounts)
{
    ASSERT_EQ(seen.measurement.size(), sizeof(Measurement));
    EXPECT_EQ(seen.din, dinText(device.din));
    auto measurement = std::make_unique<Measurement>();
    std::memcpy(measurement.get(), seen.measurement.data(), sizeof(Measurement));
    const lumosim::MeasurementHeader header = lumosim::expectedHeader(device, index);
    const lumosim::wire::Clock clock = lumosim::wire::unpackClock(header.dtime);
    EXPECT_EQ(measurement->dtime.packed, header.dtime);
    EXPECT_EQ(measurement->dtime.year, clock.year - kYearBase);
    EXPECT_EQ(measurement->dtime.month, clock.month);
    EXPECT_EQ(measurement->dtime.day, clock.day);
    EXPECT_EQ(measurement->dtime.hour, clock.hour);
    EXPECT_EQ(measurement->dtime.min, clock.minute);
    EXPECT_EQ(measurement->dtime.sec, clock.second);
    EXPECT_EQ(measurement->typeset, header.typeset);
    if (exactCounts) {
        EXPECT_EQ(measurement->ns, header.ns);
        EXPECT_EQ(measurement->nss, header.nss);
    }
    const std::vector<uint16_t> samples = lumosim::expectedSamples(device, index);
    ASSERT_LE(samples.size(), kMaxSamples);
    EXPECT_EQ(seen.samplesArrived, samples.size());
    EXPECT_EQ(std::memcmp(measurement->samples, samples.data(), samples.size() * 2), 0);
    for (std::size_t i = samples.size(); i < kMaxSamples; ++i)
        ASSERT_EQ(measurement->samples[i], 0) << "sample " << i << " behind the last";
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

void expectStatus(const SeenEvent &seen, const lumosim::SimDevice &device)
{
    ASSERT_TRUE(seen.status.has_value());
    const DeviceStatus &status = *seen.status;
    EXPECT_EQ(status.status32a, device.status.status32a);
    EXPECT_EQ(status.status32b, device.status.status32b);
    EXPECT_EQ(status.status16a, device.status.status16a);
    for (std::size_t i = 0; i < device.status.status16b.size(); ++i)
        EXPECT_EQ(status.status16b[i], device.status.status16b[i]) << i;
    const QDateTime local(QDate(device.clock.year, device.clock.month, device.clock.day),
                          QTime(device.clock.hour, device.clock.minute, device.clock.second),
                          Qt::LocalTime);
    EXPECT_EQ(status.deviceTime, uint32_t(local.toSecsSinceEpoch()));
}

void expectUtcNow(const Bytes &payload)
{
    ASSERT_TRUE(kZoneSet);
    ASSERT_EQ(payload.size(), 7u);
    const QDate date(kYearBase + payload[0], payload[1], payload[2]);
    const QTime time(payload[3], payload[4], payload[5]);
    ASSERT_TRUE(date.isValid() && time.isValid());
    const QDateTime sent(date, time, Qt::UTC);
    EXPECT_LE(std::llabs(sent.secsTo(QDateTime::currentDateTimeUtc())), kClockSlackSeconds)
        << sent.toString(Qt::ISODate).toStdString();
    EXPECT_EQ(payload[6], date.dayOfWeek());
}

} // namespace e2e
