// lumo-sim: the device simulator. See Options.cpp for the command line.
#include "Fleet.h"
#include "LinkProvider.h"
#include "Options.h"
#include "Simulator.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

using namespace lumosim;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// The run went through, but a device was left with measurements it did not hand over.
constexpr int kExitMeasurementsLeft = 3;

// What a signal stops: the simulator or the fleet being played.
StopSignal *g_stop = nullptr;

extern "C" void onSignal(int)
{
    if (g_stop)
        g_stop->trigger();
}

// Descriptors the fleet process needs beside one per device: standard streams, the stop
// pipe, the report file, and room for the C library's own.
constexpr long kFleetSpareDescriptors = 32;

std::unique_ptr<LinkProvider> makeLinks(const Options &o)
{
    switch (o.link) {
    case LinkKind::Tcp:
        return std::make_unique<TcpLinkProvider>(o.host, o.port, o.config.timeouts.connectMs);
    case LinkKind::Serial:
        return std::make_unique<SerialLinkProvider>(o.serialPath);
    case LinkKind::Pty:
        return std::make_unique<PtyLinkProvider>(
            o.symlinkPath, o.replugAfter, o.ptyOpenTimeoutMs,
            [](const std::string &path) { std::cout << path << std::endl; });
    case LinkKind::None:
        break;
    }
    return nullptr;
}

bool writeReport(const Options &o, const std::string &json)
{
    if (o.reportPath.empty()) {
        std::cout << json << std::endl;
        return bool(std::cout);
    }
    std::ofstream file(o.reportPath, std::ios::trunc);
    file << json << '\n';
    file.close();
    if (!file) {
        std::cerr << "lumo-sim: cannot write the report to " << o.reportPath << '\n';
        return false;
    }
    return true;
}

FleetConfig fleetConfig(const Options &o)
{
    FleetConfig fleet;
    fleet.devices = o.fleet;
    fleet.device = o.config.devices.front();
    fleet.firstDin = fleet.device.din;
    fleet.sessions = o.config.sessions;
    fleet.frameDelayMs = o.config.frameDelayMs;
    fleet.rampMs = o.rampMs;
    fleet.timeouts = o.config.timeouts;
    fleet.faults = o.config.faults;
    return fleet;
}

int playFleet(const Options &options)
{
    const long limit = raiseDescriptorLimit();
    if (limit >= 0 && limit < long(options.fleet) + kFleetSpareDescriptors) {
        std::cerr << "lumo-sim: " << options.fleet << " devices need about "
                  << options.fleet + kFleetSpareDescriptors
                  << " descriptors; the limit (RLIMIT_NOFILE) is " << limit << '\n';
        return kExitFailure;
    }
    Fleet fleet(fleetConfig(options));
    g_stop = &fleet.stopSignal();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const FleetReport report = fleet.run(options.host, options.port);
    g_stop = nullptr;
    const bool written = writeReport(options, report.toJson());
    std::cerr << "lumo-sim: " << report.summary() << '\n';
    if (report.result == "failed") {
        std::cerr << "lumo-sim: " << report.error << '\n';
        return kExitFailure;
    }
    if (!written)
        return kExitFailure;
    return report.everyDeviceHandedOverAll() ? 0 : kExitMeasurementsLeft;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "lumo-sim: " << error << "\nTry 'lumo-sim --help'.\n";
        return kExitUsage;
    }
    if (options.help) {
        std::cout << helpText();
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (options.fleet)
        return playFleet(options);
    Simulator simulator(options.config);
    g_stop = &simulator.stopSignal();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::unique_ptr<LinkProvider> links = makeLinks(options);
    const SimReport report = simulator.run(*links);
    links.reset();
    g_stop = nullptr;

    const bool written = writeReport(options, report.toJson());
    if (report.result == "failed") {
        std::cerr << "lumo-sim: " << report.error << '\n';
        return kExitFailure;
    }
    if (!written)
        return kExitFailure;
    const auto left = report.devicesLeftWithMeasurements();
    for (const DeviceReport *d : left)
        std::cerr << "lumo-sim: device " << wire::dinText(d->din)
                  << " still held measurements at the end of " << d->sessionsLeftWithMeasurements
                  << " session(s): " << d->measurementsStored << " stored, "
                  << d->measurementsHandedOver << " handed over, " << d->measurementsRemaining
                  << " left\n";
    return left.empty() ? 0 : kExitMeasurementsLeft;
}
