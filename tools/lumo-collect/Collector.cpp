#include "Collector.h"

#include "Console.h"
#include "Controller.h"
#include "Exports.h"
#include "HttpEndpoint.h"
#include "LogSetup.h"
#include "Metrics.h"
#include "ParamsJson.h"
#include "Plot.h"
#include "SerialCheck.h"
#include "SignalWaiter.h"
#include "StatusLine.h"
#include "StoreOpen.h"
#include "WebView.h"

#include <liblumo.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace lumo_collect {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the main thread wakes to refresh the status line and check the end rules.
constexpr milliseconds kTick{250};
// After the last device has been told to sleep, the library still sends the command:
// give it that long before the channels stop.
constexpr milliseconds kFinishGrace{1000};
// stopChannel returns within about 2 s; EV_CHANNEL_STOPPED may follow it.
constexpr milliseconds kStoppedWait{5000};
// A stop (after Ctrl-C, SIGTERM or an end rule) that takes longer than this is forced,
// as a second Ctrl-C or SIGTERM forces it at once. Every channel's stop is bounded by the
// library (about 2 s each) and every store wait by 2 s: this is far above a normal stop.
// The service unit's stop timeout lies above it.
constexpr milliseconds kStopBound{20000};

void say(const std::string &line)
{
    Console::instance().line(line);
}

int fail(int status, const std::string &message)
{
    Console::instance().line(Level::Error, "lumo-collect", message);
    // Logging to a file: whoever started the program sees why it ended, too.
    if (Console::instance().logsToFile())
        std::fprintf(stderr, "lumo-collect: %s\n", message.c_str());
    return status;
}

// The store's warning about a password given on the command line (not one from the
// configuration file); also on stderr when logging to a file, as the one who started us
// should read it.
void warnAboutPassword(const Options &o, const OpenedStore &store)
{
    if (store.warning.empty() || !o.passwordOnCommandLine)
        return;
    Console::instance().line(Level::Warning, "lumo-collect", store.warning);
    if (Console::instance().logsToFile())
        std::fprintf(stderr, "lumo-collect: warning: %s\n", store.warning.c_str());
}

// Ports below this one are reserved to privileged programs.
constexpr uint16_t kFirstUnprivilegedPort = 1024;

// Everything that can be refused before a channel starts; 0 when all is well. A TCP port
// that cannot be listened on is found by the library when its channel starts.
int checkChannels(const Options &o)
{
    std::vector<uint16_t> ports = o.tcpPorts;
    std::sort(ports.begin(), ports.end());
    if (std::adjacent_find(ports.begin(), ports.end()) != ports.end())
        return fail(kExitUsage, "the same --tcp port is given twice");
    std::vector<std::string> listen;
    for (const ListenAddress &a : o.listen)
        listen.push_back(a.text());
    std::sort(listen.begin(), listen.end());
    if (std::adjacent_find(listen.begin(), listen.end()) != listen.end())
        return fail(kExitUsage, "the same --listen address is given twice");
    std::vector<std::string> paths;
    for (const std::string &path : o.serialPorts)
        paths.push_back(liblumo::isAutoPortName(path) ? "AUTO" : path);
    std::sort(paths.begin(), paths.end());
    if (std::adjacent_find(paths.begin(), paths.end()) != paths.end())
        return fail(kExitUsage, "the same --serial port is given twice");
    std::string error;
    for (const std::string &path : o.serialPorts)
        if (!liblumo::isAutoPortName(path) && !probeSerialPath(path, error))
            return fail(kExitUnavailable, error);
    return kExitOk;
}

// The channels of one run: profiles kept alive until their channel has stopped.
class Channels {
public:
    explicit Channels(Controller &controller) : controller_(controller) {}
    ~Channels() { stopAll(); }

    // Says `what` when the channel runs; otherwise returns the library's error.
    liblumo::lumo_ErrorCodes start(std::unique_ptr<liblumo::IChannelProfile> profile,
                                   const std::string &what)
    {
        liblumo::lumo_ErrorCodes err = liblumo::ERR_NONE;
        const int id = lib_.startChannel(profile.get(), &Controller::callback, &controller_, &err);
        if (err != liblumo::ERR_NONE)
            return err;
        ids_.push_back(id);
        profiles_.push_back(std::move(profile));
        say(what);
        return err;
    }

    void stopAll()
    {
        for (int id : ids_) {
            liblumo::lumo_ErrorCodes err = liblumo::ERR_NONE;
            lib_.stopChannel(id, &err);
        }
        if (!ids_.empty() &&
            !controller_.waitChannelsStopped(static_cast<int>(ids_.size()), kStoppedWait))
            say("warning: a channel did not report its end");
        ids_.clear();
    }

private:
    Controller &controller_;
    liblumo::LibLumo lib_;
    std::vector<int> ids_;
    std::vector<std::unique_ptr<liblumo::IChannelProfile>> profiles_;
};

// The library says only that the port cannot be listened on; the likely reason.
std::string whyPortUnavailable(uint16_t port)
{
    if (port < kFirstUnprivilegedPort && ::geteuid() != 0)
        return "ports below 1024 need root or the CAP_NET_BIND_SERVICE capability";
    return "it is in use by another program (ss -ltnp 'sport = :" + std::to_string(port) +
           "' names it)";
}

// A channel on one address (--listen); fleet mode unless the limit is 1.
std::unique_ptr<liblumo::TCPProfile> listenProfile(const ListenAddress &at, int maxConnections)
{
    auto profile = std::make_unique<liblumo::ListenTCPProfile>();
    profile->setMaxConnections(maxConnections);
    profile->setListenAddress(at.address);
    profile->setServerPort(std::to_string(at.port));
    return profile;
}

// Fleet mode unless only one connection at a time is wanted.
std::unique_ptr<liblumo::TCPProfile> tcpProfile(uint16_t port, int maxConnections)
{
    std::unique_ptr<liblumo::TCPProfile> profile;
    if (maxConnections > 1) {
        auto fleet = std::make_unique<liblumo::FleetTCPProfile>();
        fleet->setMaxConnections(maxConnections);
        profile = std::move(fleet);
    } else {
        profile = std::make_unique<liblumo::TCPProfile>();
    }
    profile->setServerPort(std::to_string(port));
    return profile;
}

std::string channelFailure(liblumo::lumo_ErrorCodes err, const std::string &what)
{
    return "could not start the channel for " + what + " (library error " + std::to_string(err) +
           ")";
}

// kExitOk when every channel runs; otherwise the run's exit status, said why.
int startTcpChannel(const Options &o, Channels &channels, std::unique_ptr<liblumo::TCPProfile> p,
                    const std::string &what, uint16_t port)
{
    const std::string at = o.maxConnections > 1
                               ? " (up to " + std::to_string(o.maxConnections) + " at once)"
                               : " (one connection at a time)";
    const auto err = channels.start(std::move(p), "listening on " + what + at);
    if (err == liblumo::ERR_PORT_UNAVAILABLE)
        return fail(kExitUnavailable, "cannot listen on " + what + ": " + whyPortUnavailable(port) +
                                          (what.rfind("TCP port", 0) == 0
                                               ? ""
                                               : ", or the address is not one of this machine's"));
    if (err != liblumo::ERR_NONE)
        return fail(kExitFailure, channelFailure(err, what));
    return kExitOk;
}

int startChannels(const Options &o, Channels &channels)
{
    for (uint16_t port : o.tcpPorts)
        if (const int status = startTcpChannel(o, channels, tcpProfile(port, o.maxConnections),
                                               "TCP port " + std::to_string(port), port);
            status != kExitOk)
            return status;
    for (const ListenAddress &a : o.listen)
        if (const int status =
                startTcpChannel(o, channels, listenProfile(a, o.maxConnections), a.text(), a.port);
            status != kExitOk)
            return status;
    for (const std::string &path : o.serialPorts) {
        auto profile = std::make_unique<liblumo::SerialProfile>();
        profile->setPortName(liblumo::isAutoPortName(path) ? "AUTO" : path);
        const std::string what = liblumo::isAutoPortName(path) ? "serial port: automatic discovery"
                                                               : "serial port " + path;
        if (const auto err = channels.start(std::move(profile), what); err != liblumo::ERR_NONE)
            return fail(kExitFailure, channelFailure(err, what));
    }
    return kExitOk;
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// SIGHUP: the log file was moved away (rotation); lines go to a new one of its name.
void reopenLog()
{
    std::string error;
    if (!Console::instance().logsToFile())
        say("SIGHUP: no --log-file to open again");
    else if (Console::instance().reopen(error))
        say("log file reopened");
    else
        say("warning: " + error + "; still writing to the old file");
}

// Waits for Ctrl-C, SIGTERM or one of the end rules; returns why the run ends.
std::string waitForEnd(const Options &o, Controller &controller, SignalWaiter &stopSignals,
                       Clock::time_point started, MetricsBoard &board)
{
    while (true) {
        const int sig = stopSignals.wait(kTick);
        if (sig == SIGHUP)
            reopenLog();
        else if (sig == SIGUSR1)
            controller.beginDrain();
        else if (sig != 0)
            return sig == SIGINT ? "interrupted" : "terminated";
        controller.probeStorage();
        controller.releaseIdleLocks();
        const Stats stats = controller.stats();
        board.publish(stats); // what /metrics shows: a scrape never asks the controller
        if (controller.draining() && stats.liveConnections == 0)
            return "drained";
        Console::instance().status(formatStatusLine(stats, secondsSince(started)));
        if (o.maxDevices > 0 && stats.devicesDone >= static_cast<std::size_t>(o.maxDevices)) {
            stopSignals.wait(kFinishGrace);
            return std::to_string(stats.devicesDone) + " device(s) finished";
        }
        if (o.exitWhenIdleSeconds > 0 &&
            secondsSince(controller.lastActivity()) >= o.exitWhenIdleSeconds)
            return "idle for " + std::to_string(static_cast<long>(o.exitWhenIdleSeconds)) + " s";
    }
}

// Every record that could not be stored, by name: nothing is left out silently.
void printNotStored(const std::vector<std::string> &lines, const Stats &s)
{
    for (const std::string &line : lines)
        say("not stored: " + line);
    if (lines.size() < s.storageErrors)
        say("not stored: " + std::to_string(s.storageErrors - lines.size()) +
            " more record(s) (exports or past the listed ones)");
}

void printSummary(const Options &o, const Stats &s, double seconds, const std::string &why)
{
    Console::instance().clearStatus();
    say("stopped (" + why + "): " + std::to_string(s.devicesSeen) + " device(s) (at most " +
        std::to_string(s.peakConnections) + " connection(s) at once), " +
        std::to_string(s.measurements) + " measurement(s), " + std::to_string(s.samples) +
        " sample(s) in " + std::to_string(static_cast<long>(seconds)) + " s; database " +
        storeDisplayName(o.dbPath));
    if (s.refused)
        say(std::to_string(s.refused) + " device(s) refused");
    if (s.devicesLetGo)
        say(std::to_string(s.devicesLetGo) +
            " session(s) let go without a transfer: another collector served the device");
    if (s.leasesLost)
        say(std::to_string(s.leasesLost) + " session(s) ended as their device lease was lost (" +
            std::to_string(s.fencedMeasurements) + " measurement(s) refused, left on the devices)");
    if (s.drainedDevices)
        say(std::to_string(s.drainedDevices) + " device(s) let go while draining");
    if (s.syncsFailed || s.transfersFailed || s.keepAlivesFailed)
        say("failures: " + std::to_string(s.syncsFailed) + " sync, " +
            std::to_string(s.transfersFailed) + " transfer, " + std::to_string(s.keepAlivesFailed) +
            " keep-alive");
    if (s.repeats)
        say(std::to_string(s.repeats) + " repeated measurement(s) recognised, not stored again");
    if (s.refusedMeasurements || s.transfersSkipped)
        say("left on the devices (storage failed): " + std::to_string(s.refusedMeasurements) +
            " measurement(s) refused, " + std::to_string(s.transfersSkipped) +
            " transfer(s) not asked for");
    if (s.storageDown)
        say("ERROR: storage still fails at the end of the run");
    if (s.storageErrors)
        say("ERROR: " + std::to_string(s.storageErrors) + " record(s) could not be stored");
}

int runStatus(const Stats &s)
{
    return s.storageErrors || s.failuresBeforeStop ? kExitFailure : kExitOk;
}

// While a run stops: a second Ctrl-C or SIGTERM, or a stop that outlasts kStopBound,
// ends the process at once. Nothing acknowledged is lost by it: a device is told a
// measurement arrived only after its transaction committed, and a commit cut short is
// one no device was told about (the device keeps the measurement).
class StopGuard {
public:
    StopGuard(SignalWaiter &signals, Controller &controller, const Options &o,
              Clock::time_point started)
        : signals_(signals), controller_(controller), options_(o), started_(started),
          thread_([this] { watch(); })
    {
    }
    ~StopGuard()
    {
        done_ = true;
        thread_.join();
    }
    StopGuard(const StopGuard &) = delete;
    StopGuard &operator=(const StopGuard &) = delete;

private:
    void watch()
    {
        const Clock::time_point deadline = Clock::now() + kStopBound;
        while (!done_) {
            const int sig = signals_.wait(kTick);
            if (sig == SIGHUP)
                reopenLog();
            else if (sig != 0)
                force("second signal");
            else if (Clock::now() >= deadline)
                force("the stop took longer than " + std::to_string(kStopBound.count() / 1000) +
                      " s");
        }
    }
    [[noreturn]] void force(const std::string &why)
    {
        say("stop forced (" + why +
            "): ending now; every measurement acknowledged to a device is committed");
        const Stats stats = controller_.stats();
        printSummary(options_, stats, secondsSince(started_), "forced stop");
        std::_Exit(kExitFailure); // the run's exports were not made
    }

    SignalWaiter &signals_;
    Controller &controller_;
    const Options &options_;
    const Clock::time_point started_;
    std::atomic<bool> done_{false};
    std::thread thread_; // last: starts once the rest is ready
};

// The exports a run was asked for, made from the store at its end over the measurements
// the run stored or found stored. Counted as storage errors when they fail.
std::size_t exportRun(const Options &o, Storage &storage, std::vector<int64_t> ids)
{
    std::sort(ids.begin(), ids.end()); // oldest first, as every export
    const std::pair<std::string, ExportFormat> wanted[] = {{o.csvPath, ExportFormat::Csv},
                                                           {o.jsonlPath, ExportFormat::Jsonl},
                                                           {o.hdf5Path, ExportFormat::Hdf5}};
    std::size_t failures = 0;
    for (const auto &[path, format] : wanted) {
        if (path.empty())
            continue;
        ExportRequest request;
        request.format = format;
        request.output = path;
        request.ids = ids;
        const ExportResult r = exportMeasurements(storage, request);
        if (r.status != kExitOk) {
            say("ERROR: export " + path + ": " + r.error);
            ++failures;
        } else {
            say("exported " + std::to_string(r.measurements) + " measurement(s) of this run to " +
                path);
        }
    }
    return failures;
}

std::string upgradeMessage(const std::string &db, const OpenReport &r)
{
    std::string text = "database " + storeDisplayName(db) + " upgraded to schema version " +
                       std::to_string(kSchemaVersion) + ": ";
    if (r.versionFound == 0 && r.rowsUpgraded + r.repeatsMerged > 0)
        text += std::to_string(r.rowsUpgraded) + " measurement(s) kept, " +
                std::to_string(r.repeatsMerged) +
                " repeated one(s) merged into the first received; ";
    return text + std::to_string(r.timesConverted) +
           " time(s) of the collector converted from local time to UTC with this computer's "
           "zone rules (" +
           r.zone + ") for each date";
}

} // namespace

std::string versionText()
{
    return std::string("lumo-collect ") + LUMO_TOOL_VERSION + "\nliblumo " + LUMO_TOOL_VERSION +
           " (the library it was built with)\nschema version " + std::to_string(kSchemaVersion) +
           " (SQLite and PostgreSQL stores)\n";
}

namespace {

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool startsLikeSqlite(const std::string &path)
{
    static const char kHeader[] = "SQLite format 3"; // and its terminating zero
    char head[sizeof kHeader] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(head, sizeof head) && std::equal(head, head + sizeof head, kHeader);
}

} // namespace

bool outputSparesDatabase(const std::string &output, const std::string &dbPath, std::string &error)
{
    // The same file under any name (symlink, hard link, another path), its journals, or any
    // other SQLite database.
    for (const char *suffix : {"", "-wal", "-shm", "-journal"}) {
        if (sameFile(output, dbPath + suffix)) {
            error = "refusing to write the picture over the database " + dbPath + suffix +
                    " (-o names the same file)";
            return false;
        }
    }
    if (startsLikeSqlite(output)) {
        error = "refusing to write the picture over " + output + ": it is an SQLite database";
        return false;
    }
    return true;
}

int runCollect(const Options &o)
{
    std::string error;
    if (!Console::instance().configure(o.logFormat, o.logFile, error)) {
        std::fprintf(stderr, "lumo-collect: %s\n", error.c_str());
        return kExitUnavailable;
    }
    ControllerConfig config;
    config.accept = o.accept;
    config.finalStep = o.finalStep;
    if (!o.paramsFile.empty()) {
        liblumo::DeviceParams params{};
        if (!loadDeviceParams(o.paramsFile, params, error))
            return fail(kExitUsage, error);
        config.params = params;
    }
    if (const int status = checkChannels(o); status != kExitOk)
        return status;

    for (const std::string *path : {&o.csvPath, &o.jsonlPath, &o.hdf5Path})
        if (!path->empty() && !exportTargetUsable(*path, error))
            return fail(kExitUnavailable, error);

    OpenedStore store = openStore(o.dbPath, Access::Write);
    warnAboutPassword(o, store);
    if (!store.storage)
        return fail(store.status, store.error);
    if (store.report.upgraded)
        say(upgradeMessage(o.dbPath, store.report));

    setupLogging(o.verbosity);
    Console::instance().enableStatus(o.statusLine && Console::stderrIsTerminal());
    SignalWaiter signals; // before the library starts any thread

    MetricsBoard board;
    Controller controller(config,
                          Sinks{store.storage.get(), store.lock.get(), say, &board.writeLatency()});
    board.publish(controller.stats());
    std::unique_ptr<WebView> view; // before the endpoint, which uses it until it stops
    std::unique_ptr<HttpEndpoint> http;
    if (!o.httpHost.empty()) {
        int status = kExitOk;
        if (!(view = WebView::open(o, board, status, error)))
            return fail(status, error);
        http = std::make_unique<HttpEndpoint>([&controller] { return controller.unhealthy(); });
        view->addRoutes(*http);
        if (!http->start(o.httpHost, o.httpPort, error))
            return fail(kExitUnavailable, error);
        say("HTTP endpoint on " + o.httpHost + ":" + std::to_string(http->port()) +
            " (/healthz); web view " + webViewAddress(o.httpHost, http->port()));
    }
    const Clock::time_point started = Clock::now();
    std::string why;
    {
        Channels channels(controller);
        if (const int status = startChannels(o, channels); status != kExitOk)
            return status;
        why = waitForEnd(o, controller, signals, started, board);
        say("stopping: " + why);
        StopGuard guard(signals, controller, o, started);
        controller.beginStop();
        channels.stopAll();
    }
    const std::size_t exportFailures = exportRun(o, *store.storage, controller.runMeasurementIds());
    const Stats stats = controller.stats();
    printSummary(o, stats, secondsSince(started), why);
    printNotStored(controller.notStored(), stats);
    return exportFailures ? kExitFailure : runStatus(stats);
}

int runExport(const Options &o)
{
    ExportRequest request;
    request.format = o.format != ExportFormat::None ? o.format : formatOfPath(o.output);
    if (request.format == ExportFormat::None) {
        std::fprintf(stderr,
                     "lumo-collect: give --format csv|jsonl|hdf5 (the name %s does not "
                     "say)\n",
                     o.output.c_str());
        return kExitUsage;
    }
    std::string error;
    if (!outputSparesDatabase(o.output, o.dbPath, error))
        return fail(kExitUsage, error);
    OpenedStore store = openStore(o.dbPath, Access::Read);
    if (!store.storage)
        return fail(store.status, store.error);
    if (store.report.versionFound < kSchemaVersion)
        return fail(kExitUnavailable,
                    "database " + storeDisplayName(o.dbPath) + " is of schema version " +
                        std::to_string(store.report.versionFound) +
                        " (times without a zone): run lumo-collect on it once to upgrade it");
    request.output = o.output;
    request.filter = MeasurementFilter{o.din, o.from, o.to};
    const ExportResult r = exportMeasurements(*store.storage, request);
    if (r.status != kExitOk)
        return fail(r.status, r.error);
    if (r.measurements == 0)
        std::fprintf(stderr, "lumo-collect: no measurement matches; %s is an empty %s export\n",
                     o.output.c_str(), formatName(request.format));
    else
        std::fprintf(stderr, "lumo-collect: %s: %zu measurement(s), %zu sample(s) (%s)\n",
                     o.output.c_str(), r.measurements, r.samples, formatName(request.format));
    return kExitOk;
}

int runServe(const Options &o)
{
    MetricsBoard board; // stays empty: nothing is collected here
    int status = kExitOk;
    std::string error;
    const std::unique_ptr<WebView> view = WebView::open(o, board, status, error);
    if (!view)
        return fail(status, error);
    SignalWaiter stopSignals; // before the endpoint starts its threads
    HttpEndpoint http([&view] { return view->storeProblem(); });
    view->addRoutes(http);
    if (!http.start(o.httpHost, o.httpPort, error))
        return fail(kExitUnavailable, error);
    say("web view " + webViewAddress(o.httpHost, http.port()) + " of the store " +
        storeDisplayName(o.dbPath) + " (not collecting); Ctrl-C ends it");
    int sig = 0;
    while ((sig = stopSignals.wait(kTick)) == 0 || sig == SIGHUP) {
    }
    say(std::string("stopped (") + (sig == SIGINT ? "interrupted" : "terminated") + ")");
    return kExitOk;
}

int runPlot(const Options &o)
{
    std::string error;
    if (!outputSparesDatabase(o.output, o.dbPath, error))
        return fail(kExitUsage, error);
    OpenedStore store = openStore(o.dbPath, Access::Read);
    warnAboutPassword(o, store);
    if (!store.storage)
        return fail(store.status, store.error);
    MeasurementRecord m;
    if (!store.storage->loadMeasurement(o.din, o.index, m, error))
        return fail(kExitFailure, error);
    std::ofstream out(o.output, std::ios::binary | std::ios::trunc);
    out << renderSvg(m);
    out.close();
    if (!out)
        return fail(kExitFailure, "cannot write " + o.output);
    std::printf("%s: DIN %s, %s, %zu samples\n", o.output.c_str(), m.din.c_str(),
                m.measuredAt.c_str(), m.samples.size());
    return kExitOk;
}

} // namespace lumo_collect
