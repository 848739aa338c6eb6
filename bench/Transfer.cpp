#include "Transfer.h"

#include "Host.h"
#include "LinkPair.h"
#include "MinimalDevice.h"
#include "ProcessStats.h"
#include "SimThread.h"

#include <QLoggingCategory>
#include <QtGlobal>

namespace bench {

namespace {

// Frame sizes on the wire: 7 bytes of framing around the data, one byte per answer.
constexpr uint64_t kFraming = 7;
constexpr uint64_t kControlByte = 1;
constexpr uint64_t kCountAnswerData = 2;
constexpr uint64_t kHeaderData = 11;
constexpr uint64_t kBlockData = 1 + kBytesPerSample * kSamplesPerBlock;

constexpr double kUnpacedTimeoutSeconds = 120.0;
constexpr double kPacedSecondsPerMeasurement = 30.0;

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

void setLogging(Logging mode)
{
    if (mode != Logging::Discarding) {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
        qInstallMessageHandler(mode == Logging::Silent ? &discardMessage : nullptr);
    } else {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true\ndefault.info=true"));
        qInstallMessageHandler(&discardMessage);
    }
}

double TransferRun::framesPerSecond() const
{
    return seconds > 0 ? measurements * double(kBlocksPerMeasurement) / seconds : 0.0;
}

double TransferRun::libraryCpuPerFrameUs() const
{
    return measurements > 0 ? libraryCpuSeconds * 1e6 / (measurements * kBlocksPerMeasurement)
                            : 0.0;
}

double TransferRun::deviceCpuPerFrameUs() const
{
    return measurements > 0 ? deviceCpuSeconds * 1e6 / (measurements * kBlocksPerMeasurement) : 0.0;
}

double TransferRun::sampleMegabytesPerSecond() const
{
    return seconds > 0
               ? measurements * double(kSamplesPerMeasurement) * kBytesPerSample / seconds / 1e6
               : 0.0;
}

uint64_t transferWireBytes(int measurements)
{
    const uint64_t count = (kFraming + kControlByte) + (kFraming + kCountAnswerData + kControlByte);
    const uint64_t perMeasurement = (kFraming + kControlByte) +
                                    (kFraming + kHeaderData + kControlByte) +
                                    kBlocksPerMeasurement * (kFraming + kBlockData + kControlByte);
    return count + uint64_t(measurements) * perMeasurement;
}

namespace {

// The device's side of one transfer: started once the host's channel is open.
class DeviceSide {
public:
    virtual ~DeviceSide() = default;
    virtual void finish() = 0;
    virtual double cpuSeconds() const = 0; // after finish
};

class SimulatorSide : public DeviceSide {
public:
    SimulatorSide(lumosim::SimConfig config, std::unique_ptr<lumosim::LinkProvider> links)
        : sim(std::move(config), std::move(links))
    {
        sim.start();
    }
    void finish() override { sim.finish(); }
    double cpuSeconds() const override { return sim.cpuSeconds(); }

private:
    SimThread sim;
};

class MinimalSide : public DeviceSide {
public:
    explicit MinimalSide(int measurements) : device(measurements) {}
    bool start(LinkKind kind, int port, Fd master)
    {
        return kind == LinkKind::Tcp ? device.startTcp(port) : device.startPty(std::move(master));
    }
    void finish() override { device.finish(); }
    double cpuSeconds() const override { return device.cpuSeconds(); }

private:
    MinimalDevice device;
};

// Opens the host's channel and the device's end of the link, and starts the device.
std::unique_ptr<DeviceSide> connect(Host &host, LinkKind kind, DeviceKind deviceKind,
                                    int measurements, uint32_t paceBaud)
{
    if (deviceKind == DeviceKind::Minimal) {
        auto side = std::make_unique<MinimalSide>(measurements);
        const int port = kind == LinkKind::Tcp ? findFreeTcpPort() : 0;
        Fd master = kind == LinkKind::Pty ? openPtyMaster() : Fd();
        const bool opened = kind == LinkKind::Tcp
                                ? port > 0 && host.startTcp(port)
                                : master.valid() && host.startSerial(ptySlavePath(master.get()));
        if (!opened || !side->start(kind, port, std::move(master)))
            return nullptr;
        return side;
    }
    std::unique_ptr<lumosim::LinkProvider> links;
    bool opened = false;
    if (kind == LinkKind::Tcp) {
        const int port = findFreeTcpPort();
        opened = port > 0 && host.startTcp(port);
        links = tcpLinks(port);
    } else {
        std::string path;
        links = ptyLinks(path);
        opened = links && host.startSerial(path);
    }
    if (!opened)
        return nullptr;
    lumosim::SimConfig config = oneDevice(measurements, kBlocksPerMeasurement, kSamplesPerBlock);
    config.faults.paceBaud = paceBaud;
    return std::make_unique<SimulatorSide>(config, std::move(links));
}

} // namespace

TransferRun transferOnce(liblumo::LibLumo &library, LinkKind kind, int measurements,
                         uint32_t paceBaud, DeviceKind deviceKind)
{
    TransferRun run;
    run.measurements = measurements;
    Host host(library, Plan::TransferThenSleep);
    host.expectSamples(kSamplesPerMeasurement);
    const double cpuBefore = processCpuSeconds();
    std::unique_ptr<DeviceSide> device = connect(host, kind, deviceKind, measurements, paceBaud);
    if (!device)
        return run;
    const double limit =
        paceBaud ? measurements * kPacedSecondsPerMeasurement + 10 : kUnpacedTimeoutSeconds;
    const bool finished = host.waitFor(
        [](const HostCounters &c) { return c.transfersDone + c.actionsFailed > 0; }, limit);
    const HostCounters counters = host.snapshot();
    host.stop();
    device->finish();
    run.deviceCpuSeconds = device->cpuSeconds();
    run.libraryCpuSeconds = processCpuSeconds() - cpuBefore - run.deviceCpuSeconds;

    run.ok = finished && counters.transfersDone == 1 && counters.actionsFailed == 0 &&
             counters.measurements == measurements && !counters.badSamples;
    run.seconds =
        std::chrono::duration<double>(counters.transferEnd - counters.transferStart).count();
    return run;
}

} // namespace bench
