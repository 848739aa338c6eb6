#include "Transfer.h"

#include "Host.h"
#include "LinkPair.h"
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
    if (mode == Logging::Off) {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
        qInstallMessageHandler(nullptr);
    } else {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true\ndefault.info=true"));
        qInstallMessageHandler(&discardMessage);
    }
}

double TransferRun::framesPerSecond() const
{
    return seconds > 0 ? measurements * double(kBlocksPerMeasurement) / seconds : 0.0;
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

TransferRun transferOnce(liblumo::LibLumo &library, LinkKind kind, int measurements,
                         uint32_t paceBaud)
{
    TransferRun run;
    run.measurements = measurements;
    Host host(library, Plan::TransferThenSleep);
    host.expectSamples(kSamplesPerMeasurement);

    std::unique_ptr<lumosim::LinkProvider> links;
    bool started = false;
    if (kind == LinkKind::Tcp) {
        const int port = findFreeTcpPort();
        started = port > 0 && host.startTcp(port);
        links = tcpLinks(port);
    } else {
        std::string path;
        links = ptyLinks(path);
        started = links && host.startSerial(path);
    }
    if (!started || !links)
        return run;

    lumosim::SimConfig config = oneDevice(measurements, kBlocksPerMeasurement, kSamplesPerBlock);
    config.faults.paceBaud = paceBaud;
    SimThread sim(config, std::move(links));
    sim.start();
    const double limit =
        paceBaud ? measurements * kPacedSecondsPerMeasurement + 10 : kUnpacedTimeoutSeconds;
    const bool finished = host.waitFor(
        [](const HostCounters &c) { return c.transfersDone + c.actionsFailed > 0; }, limit);
    const HostCounters counters = host.snapshot();
    host.stop();
    sim.finish();

    run.ok = finished && counters.transfersDone == 1 && counters.actionsFailed == 0 &&
             counters.measurements == measurements && !counters.badSamples;
    run.seconds =
        std::chrono::duration<double>(counters.transferEnd - counters.transferStart).count();
    return run;
}

} // namespace bench
