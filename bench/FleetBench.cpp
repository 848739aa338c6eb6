#include "FleetBench.h"

#include "Fleet.h"
#include "FleetHost.h"
#include "LinkPair.h"
#include "ProcessStats.h"
#include "Stats.h"
#include "Transfer.h"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace bench {

namespace {

constexpr uint32_t kFleetMeasurements = 2;
constexpr uint32_t kFleetFirstDin = 100000000;
constexpr int kFullSizes[] = {1, 10, 100, 1000};
constexpr int kQuickSizes[] = {1, 10, 100};
constexpr int kSlowLinkMs = 100;
constexpr int kStopFleetSize = 1000;
// A device waits this long for the host to answer its handshake. All devices call at
// once and the machine has 2 cores, so the last to be accepted waits seconds: with the
// simulator's 2 s, a quarter of 1000 devices without delay gave up (see the README).
constexpr int kHandshakePatienceMs = 30000;
constexpr uint32_t kSingleMeasurements = 20; // today's single connection: one long session

constexpr double kSlowLinkTarget = 1.5; // wall time / one device's session time
constexpr double kRateTarget = 0.8;     // fleet frames/s / single-connection frames/s
constexpr double kBytesPerConnectionTarget = 256.0 * 1024;
constexpr double kStopTarget = 2.0;
// Devices held online (CONTROL) with nothing to transfer: what they cost while idle.
constexpr int kHeldSizes[] = {1000, 2000};
constexpr double kHeldCpuPercentPerThousand = 5.0; // of one core, per 1000 held devices
constexpr double kHeldBytesPerConnectionTarget = 64.0 * 1024;
constexpr double kHeldSettleSeconds = 8.0;   // every device past its first keep-alives
constexpr double kHeldMeasureSeconds = 15.0; // CPU measured over this long

constexpr double kSamplePeriodSeconds = 0.2;
constexpr double kSpareSeconds = 120.0;           // on top of the expected time of a run
constexpr double kMinFramesPerSecond = 1000.0;    // for the time-out of an unpaced run
constexpr double kLiveHoldSeconds = 5.0;          // connections live before the stop
constexpr uint64_t kFramesPerSessionOverhead = 8; // handshake, counts, headers, sleep

lumosim::SimDevice fleetDevice(uint32_t measurements = kFleetMeasurements)
{
    lumosim::SimDevice device = lumosim::defaultDevice(kFleetFirstDin);
    device.measurements = measurements;
    device.blocks = kBlocksPerMeasurement;
    device.samplesPerBlock = kSamplesPerBlock;
    return device;
}

// lumo-sim --fleet in a process of its own; killed if still running at the end.
class FleetProcess {
public:
    FleetProcess(int port, int devices, int delayMs, uint32_t measurements)
    {
        std::vector<std::string> args{LUMO_BENCH_SIM,
                                      "--tcp",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--fleet",
                                      std::to_string(devices),
                                      "--rtt",
                                      std::to_string(delayMs),
                                      "--din",
                                      std::to_string(kFleetFirstDin),
                                      "--measurements",
                                      std::to_string(measurements),
                                      "--blocks",
                                      std::to_string(kBlocksPerMeasurement),
                                      "--samples-per-block",
                                      std::to_string(kSamplesPerBlock),
                                      "--handshake-timeout",
                                      std::to_string(kHandshakePatienceMs),
                                      "--report",
                                      "/dev/null"};
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~FleetProcess()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    FleetProcess(const FleetProcess &) = delete;
    FleetProcess &operator=(const FleetProcess &) = delete;

    bool started() const { return pid > 0; }
    // The exit status once it has ended, -1 while it runs.
    int poll()
    {
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return pid > 0 ? -1 : exitStatus;
    }

private:
    pid_t pid = -1;
    int exitStatus = -1;
};

struct Peak {
    int descriptors = 0;
    int threads = 0;
    int active = 0; // devices between handshake and sleep at once, counted by the host
    void sample()
    {
        descriptors = std::max(descriptors, openDescriptorCount());
        threads = std::max(threads, threadCount());
    }
};

struct FleetRun {
    bool ok = false;
    double seconds = 0; // first handshake .. last EV_TRANSFER_DONE
    double cpuUsPerFrame = 0;
    uint64_t frames = 0; // data-block frames
    Peak peak;
    std::string problem;
    double framesPerSecond() const { return seconds > 0 ? frames / seconds : 0.0; }
};

double expectedSeconds(int devices, int delayMs, uint32_t measurements)
{
    const double frames =
        double(measurements) * (kBlocksPerMeasurement + 1) + kFramesPerSessionOverhead;
    if (delayMs > 0)
        return frames * delayMs / 1000.0;
    return devices * frames / kMinFramesPerSecond;
}

// One session of every device through one channel: maxConnections 0 is a plain TCPProfile.
FleetRun runFleet(liblumo::LibLumo &library, int devices, int delayMs, uint32_t measurements,
                  int maxConnections)
{
    FleetRun run;
    const int port = findFreeTcpPort();
    FleetHost host(library, fleetDevice(measurements), FleetPlan::TransferThenSleep,
                   SampleCheck::Ends);
    if (port <= 0 || !host.start(port, maxConnections)) {
        run.problem = "channel did not start";
        return run;
    }
    // This thread only samples the process meanwhile: its CPU is not the library's.
    const double cpuBefore = processCpuSeconds() - callingThreadCpuSeconds();
    FleetProcess sim(port, devices, delayMs, measurements);
    const double limit = expectedSeconds(devices, delayMs, measurements) * 2 + kSpareSeconds;
    const Clock::time_point start = Clock::now();
    int exitStatus = -1;
    while (sim.started() && (exitStatus = sim.poll()) < 0 && secondsSince(start) < limit) {
        run.peak.sample();
        std::this_thread::sleep_for(std::chrono::duration<double>(kSamplePeriodSeconds));
    }
    const double cpu = processCpuSeconds() - callingThreadCpuSeconds() - cpuBefore;
    host.stop();
    const FleetCounts c = host.counts();
    run.peak.active = c.maxActive;
    const uint64_t sessionsPlanned = uint64_t(devices);
    run.frames = sessionsPlanned * measurements * kBlocksPerMeasurement;
    run.seconds = c.sessionsSeconds();
    run.cpuUsPerFrame = run.frames ? cpu * 1e6 / run.frames : 0.0;
    run.ok = exitStatus == 0 && c.transfersDone == sessionsPlanned &&
             c.measurements == sessionsPlanned * measurements && c.badMeasurements == 0 &&
             c.duplicates == 0 && c.actionsFailed == 0;
    if (!run.ok)
        run.problem = "lumo-sim exit " + std::to_string(exitStatus) + ", " +
                      std::to_string(c.transfersDone) + " of " + std::to_string(sessionsPlanned) +
                      " transfers" + (c.firstProblem.empty() ? "" : ", " + c.firstProblem);
    return run;
}

struct StopFigures {
    bool ok = false;
    int live = 0;
    double residentPerConnection = 0;
    int descriptorsBefore = 0, descriptorsLive = 0, descriptorsAfter = 0;
    int threadsLive = 0;
    double stopSeconds = 0;
    bool lastEventsFirst = false;
    std::string problem;
};

// 1000 devices mid-transfer over slow links: what a live connection costs, and the stop.
StopFigures measureLiveFleet(liblumo::LibLumo &library, int devices)
{
    StopFigures f;
    const int port = findFreeTcpPort();
    FleetHost host(library, fleetDevice(), FleetPlan::TransferThenSleep, SampleCheck::Ends);
    if (port <= 0 || !host.start(port, devices)) {
        f.problem = "channel did not start";
        return f;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSamplePeriodSeconds));
    f.descriptorsBefore = openDescriptorCount();
    const uint64_t residentBefore = residentBytes();
    FleetProcess sim(port, devices, kSlowLinkMs, kFleetMeasurements);
    if (!host.waitForAdded(uint64_t(devices), kSpareSeconds)) {
        f.problem = std::to_string(host.counts().added) + " devices added";
        return f;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kLiveHoldSeconds));
    f.live = host.counts().active;
    f.descriptorsLive = openDescriptorCount();
    f.threadsLive = threadCount();
    const uint64_t residentLive = residentBytes();
    f.stopSeconds = host.stop();
    f.descriptorsAfter = openDescriptorCount();
    f.residentPerConnection =
        f.live > 0 ? (double(residentLive) - double(residentBefore)) / f.live : 0.0;
    const FleetCounts c = host.counts();
    f.lastEventsFirst = c.eventsAfterStop == 0 && host.dinsWithEventsAfterStop().empty();
    f.ok = f.live == devices && f.lastEventsFirst;
    if (!f.ok)
        f.problem = std::to_string(f.live) + " live at the stop" +
                    (f.lastEventsFirst ? "" : ", events after EV_CHANNEL_STOPPED");
    return f;
}

struct HeldFigures {
    bool ok = false;
    double cpuPercent = 0;         // of one core, host and library
    double residentPerConnection = 0; // bytes
    std::string problem;
};

// N devices held in CONTROL on a fresh channel of their own, none of them transferring: the
// CPU the library (and the small host) spends keeping them online, and the memory a held
// connection costs, measured from before the first connection.
HeldFigures measureHeldFleet(liblumo::LibLumo &library, int devices)
{
    HeldFigures f;
    const int port = findFreeTcpPort();
    FleetHost host(library, fleetDevice(0), FleetPlan::Control, SampleCheck::Ends);
    if (port <= 0 || !host.start(port, devices)) {
        f.problem = "channel did not start";
        return f;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSamplePeriodSeconds));
    const uint64_t residentBefore = residentBytes();
    FleetProcess sim(port, devices, 0, 0);
    if (!host.waitForAdded(uint64_t(devices), kSpareSeconds)) {
        f.problem = std::to_string(host.counts().added) + " devices added";
        host.stop();
        return f;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kHeldSettleSeconds));
    const double cpuBefore = processCpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(kHeldMeasureSeconds));
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int held = host.counts().active;
    f.residentPerConnection =
        held > 0 ? (double(residentBytes()) - double(residentBefore)) / held : 0.0;
    f.cpuPercent = wall > 0 ? 100.0 * cpu / wall : 0.0;
    const FleetCounts c = host.counts();
    host.stop();
    f.ok = held == devices && c.keepAlivesFailed == 0;
    if (!f.ok)
        f.problem = std::to_string(held) + " held, " + std::to_string(c.keepAlivesFailed) +
                    " keep-alives failed";
    return f;
}

void reportHeld(int devices, const HeldFigures &f, Report &report)
{
    const std::string name = "fleet N=" + std::to_string(devices) + " held in CONTROL";
    const double cpuTarget = kHeldCpuPercentPerThousand * devices / 1000.0;
    report.add({name + ", CPU % of a core",
                f.ok ? formatNumber(f.cpuPercent, 2) : "FAILED: " + f.problem,
                "<= " + formatNumber(cpuTarget, 0) + " (host + library, no transfer)",
                verdict(f.ok && f.cpuPercent <= cpuTarget)});
    report.add({name + ", resident KiB per held connection",
                f.ok ? formatNumber(f.residentPerConnection / 1024, 1) : "FAILED: " + f.problem,
                "<= 64, from a fresh channel",
                verdict(f.ok && f.residentPerConnection <= kHeldBytesPerConnectionTarget)});
}

std::string runValue(const FleetRun &run, int decimals)
{
    return run.ok ? formatNumber(run.seconds, decimals) : "FAILED: " + run.problem;
}

std::string costValue(const FleetRun &run)
{
    return formatNumber(run.cpuUsPerFrame, 1) + " | " + std::to_string(run.peak.descriptors) +
           " | " + std::to_string(run.peak.threads) + " | " + std::to_string(run.peak.active);
}

void reportUnpaced(const std::vector<int> &sizes, const std::vector<FleetRun> &runs,
                   double singleRate, Report &report)
{
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const FleetRun &run = runs[i];
        const std::string name = "fleet N=" + std::to_string(sizes[i]) + ", no delay";
        const double ideal = singleRate > 0 ? run.frames / singleRate : 0.0;
        const double ratio = singleRate > 0 ? run.framesPerSecond() / singleRate : 0.0;
        const bool judged = sizes[i] == sizes.back();
        report.add({name + ", all sessions s | frames/s",
                    runValue(run, 2) + " | " + formatNumber(run.framesPerSecond(), 0),
                    "ideal " + formatNumber(ideal, 2) + " s; rate ratio " + formatNumber(ratio, 2) +
                        (judged ? " >= 0.80" : ""),
                    judged ? verdict(run.ok && ratio >= kRateTarget) : ""});
        report.add({name + ", CPU us/frame | fds | threads | devices at once", costValue(run),
                    "peaks of this process (host + library)", ""});
    }
}

void reportPaced(const std::vector<int> &sizes, const std::vector<FleetRun> &runs, Report &report)
{
    const double one = runs.front().ok ? runs.front().seconds : 0.0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const FleetRun &run = runs[i];
        const std::string name = "fleet N=" + std::to_string(sizes[i]) + ", " +
                                 std::to_string(kSlowLinkMs) + " ms/frame";
        const double ratio = one > 0 ? run.seconds / one : 0.0;
        const bool judged = sizes[i] == kStopFleetSize;
        report.add({name + ", all sessions s", runValue(run, 1),
                    "ideal " + formatNumber(one, 1) + " s (N=1); ratio " + formatNumber(ratio, 3) +
                        (judged ? " <= 1.50" : ""),
                    judged ? verdict(run.ok && ratio <= kSlowLinkTarget) : ""});
        report.add({name + ", CPU us/frame | fds | threads | devices at once", costValue(run),
                    "peaks of this process (host + library)", ""});
    }
}

void reportLive(const StopFigures &f, long descriptorLimit, Report &report)
{
    const std::string name = "fleet N=" + std::to_string(kStopFleetSize) + " live mid-transfer";
    report.add({name + ", resident KiB per live connection",
                f.ok ? formatNumber(f.residentPerConnection / 1024, 0) : "FAILED: " + f.problem,
                "<= 256", verdict(f.ok && f.residentPerConnection <= kBytesPerConnectionTarget)});
    report.add({name + ", descriptors before | live | after stop",
                std::to_string(f.descriptorsBefore) + " | " + std::to_string(f.descriptorsLive) +
                    " | " + std::to_string(f.descriptorsAfter),
                "limit " + std::to_string(descriptorLimit) + "; threads live " +
                    std::to_string(f.threadsLive),
                ""});
    report.add({name + ", stopChannel ms", formatNumber(f.stopSeconds * 1000, 0),
                "<= 2000; last events before EV_CHANNEL_STOPPED: " +
                    std::string(f.lastEventsFirst ? "yes" : "NO"),
                verdict(f.ok && f.stopSeconds <= kStopTarget)});
}

} // namespace

void measureFleet(liblumo::LibLumo &library, const Options &options, Report &report)
{
    setLogging(Logging::Silent);
    const long descriptorLimit = lumosim::raiseDescriptorLimit();
    const std::vector<int> sizes =
        options.quick ? std::vector<int>(std::begin(kQuickSizes), std::end(kQuickSizes))
                      : std::vector<int>(std::begin(kFullSizes), std::end(kFullSizes));

    // Today's single connection, before and after the unpaced fleet runs.
    std::vector<double> single;
    std::vector<FleetRun> unpaced;
    FleetRun first = runFleet(library, 1, 0, kSingleMeasurements, 0);
    if (first.ok)
        single.push_back(first.framesPerSecond());
    for (int n : sizes)
        unpaced.push_back(runFleet(library, n, 0, kFleetMeasurements, n));
    FleetRun last = runFleet(library, 1, 0, kSingleMeasurements, 0);
    if (last.ok)
        single.push_back(last.framesPerSecond());
    const double singleRate = single.empty() ? 0.0 : (single.front() + single.back()) / 2;
    report.add(
        {"fleet single connection (TCPProfile), frames/s",
         single.size() == 2 ? formatNumber(singleRate, 0) + " (" + formatNumber(single.front(), 0) +
                                  ", " + formatNumber(single.back(), 0) + ")"
                            : "FAILED: " + first.problem + last.problem,
         "one device, " + std::to_string(kSingleMeasurements) + " measurements; runs before, after",
         ""});
    reportUnpaced(sizes, unpaced, singleRate, report);

    std::vector<FleetRun> paced;
    for (int n : sizes)
        paced.push_back(runFleet(library, n, kSlowLinkMs, kFleetMeasurements, n));
    reportPaced(sizes, paced, report);

    if (!options.quick) {
        reportLive(measureLiveFleet(library, kStopFleetSize), descriptorLimit, report);
        for (int n : kHeldSizes)
            reportHeld(n, measureHeldFleet(library, n), report);
    }
    setLogging(Logging::Off);
    report.note("fleet: lumo-sim --fleet N in a process of its own, every device on its own TCP "
                "connection to one FleetTCPProfile channel (limit N), 2 measurements of 255 x 255 "
                "samples each, one session per device, all connecting at once; one run per row; "
                "time from the first handshake to the last EV_TRANSFER_DONE; CPU, descriptors, "
                "threads and memory are this process's (host and library) only");
    report.note("fleet ideal: no delay, the frames at the single-connection rate; 100 ms/frame, "
                "the N=1 session time. RLIMIT_NOFILE soft limit raised to " +
                std::to_string(descriptorLimit));
}

} // namespace bench
