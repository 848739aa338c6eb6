#include "Fixtures.h"

#include "TapIo.h"
#include "transports/TimeOut.h"

namespace e2e {

using namespace liblumo;

namespace {
constexpr int kPtyOpenTimeoutMs = 20000;
constexpr std::size_t kHeadSize = 6;
} // namespace

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
    startError = error;
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

Channel::~Channel()
{
    stop();
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

SimRun::SimRun(lumosim::SimConfig config) : sim(std::move(config)) {}

SimRun::~SimRun()
{
    sim.stop();
    if (thread.joinable())
        thread.join();
}

void SimRun::play(lumosim::LinkProvider &links)
{
    sim.run(links);
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
}

bool SimRun::overTcp(int port)
{
    std::string error;
    const int fd = tap.connect(port, error);
    if (fd < 0)
        return false;
    link = std::make_unique<lumosim::Link>(lumosim::UniqueFd(fd), "tap");
    fixed = std::make_unique<lumosim::FixedLinkProvider>(*link);
    thread = std::thread([this] { play(*fixed); });
    return true;
}

bool SimRun::overPty(const std::string &symlinkPath, uint64_t replugAfter)
{
    pty = std::make_unique<lumosim::PtyLinkProvider>(symlinkPath, replugAfter, kPtyOpenTimeoutMs,
                                                     nullptr);
    std::string error;
    if (!pty->prepare(error))
        return false;
    thread = std::thread([this] { play(*pty); });
    return true;
}

bool SimRun::waitDone(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done; });
}

const lumosim::DeviceReport *SimRun::device(uint32_t din) const
{
    lastReport = sim.report();
    return lastReport.device(din);
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

std::vector<uint8_t> frameBytes(uint16_t packet, uint8_t command, const std::vector<uint8_t> &data)
{
    const std::size_t length = data.size() + 2;
    std::vector<uint8_t> bytes{
        0x02,   uint8_t(packet >> 8), uint8_t(packet), uint8_t(length >> 8), uint8_t(length),
        command};
    bytes.reserve(kHeadSize + data.size() + 1);
    bytes.insert(bytes.end(), data.begin(), data.end());
    uint8_t lrc = 0;
    for (uint8_t byte : bytes)
        lrc ^= byte;
    bytes.push_back(lrc);
    return bytes;
}

} // namespace e2e
