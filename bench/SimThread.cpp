#include "SimThread.h"

#include "ProcessStats.h"

#include <pthread.h>

namespace bench {

namespace {

constexpr uint32_t kBenchDin = 123456789;
constexpr int kConnectTimeoutMs = 10000;
constexpr int kPtyOpenTimeoutMs = 10000;

} // namespace

SimThread::SimThread(lumosim::SimConfig config, std::unique_ptr<lumosim::LinkProvider> provider)
    : simulator(std::move(config)), links(std::move(provider))
{
}

SimThread::~SimThread()
{
    finish();
}

void SimThread::start()
{
    thread = std::thread([this] {
        nameThisThread("bench-sim");
        lumosim::SimReport result = simulator.run(*links);
        const double cpu = callingThreadCpuSeconds();
        std::lock_guard<std::mutex> lock(doneMutex);
        finalReport = std::move(result);
        finalCpu = cpu;
        done = true;
        doneChanged.notify_all();
    });
    haveCpuClock = pthread_getcpuclockid(thread.native_handle(), &cpuClock) == 0;
}

bool SimThread::waitUntilDone(double seconds)
{
    std::unique_lock<std::mutex> lock(doneMutex);
    return doneChanged.wait_for(lock, std::chrono::duration<double>(seconds),
                                [this] { return done; });
}

lumosim::SimReport SimThread::finish()
{
    if (thread.joinable()) {
        simulator.stop();
        thread.join();
        haveCpuClock = false;
    }
    return finalReport;
}

double SimThread::cpuSeconds() const
{
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        if (done)
            return finalCpu;
    }
    timespec value{};
    if (!haveCpuClock || clock_gettime(cpuClock, &value) != 0)
        return 0.0;
    return value.tv_sec + value.tv_nsec / 1e9;
}

lumosim::SimConfig oneDevice(uint32_t measurements, uint32_t blocks, uint32_t samplesPerBlock)
{
    lumosim::SimConfig config;
    lumosim::SimDevice device = lumosim::defaultDevice(kBenchDin);
    device.measurements = measurements;
    device.blocks = blocks;
    device.samplesPerBlock = samplesPerBlock;
    config.devices.push_back(device);
    config.sessions = 1;
    return config;
}

std::unique_ptr<lumosim::LinkProvider> tcpLinks(int port)
{
    return std::make_unique<lumosim::TcpLinkProvider>("127.0.0.1", port, kConnectTimeoutMs);
}

std::unique_ptr<lumosim::LinkProvider> ptyLinks(std::string &slavePath)
{
    auto provider = std::make_unique<lumosim::PtyLinkProvider>("", 0, kPtyOpenTimeoutMs, nullptr);
    std::string error;
    if (!provider->prepare(error))
        return nullptr;
    slavePath = provider->slavePath();
    return provider;
}

} // namespace bench
