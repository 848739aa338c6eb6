// lumo-sim: the device simulator. See Options.cpp for the command line.
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

Simulator *g_simulator = nullptr;

extern "C" void onSignal(int)
{
    if (g_simulator)
        g_simulator->stopSignal().trigger();
}

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

bool writeReport(const Options &o, const SimReport &report)
{
    if (o.reportPath.empty()) {
        std::cout << report.toJson() << std::endl;
        return bool(std::cout);
    }
    std::ofstream file(o.reportPath, std::ios::trunc);
    file << report.toJson() << '\n';
    file.close();
    if (!file) {
        std::cerr << "lumo-sim: cannot write the report to " << o.reportPath << '\n';
        return false;
    }
    return true;
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
    Simulator simulator(options.config);
    g_simulator = &simulator;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    std::unique_ptr<LinkProvider> links = makeLinks(options);
    const SimReport report = simulator.run(*links);
    links.reset();
    g_simulator = nullptr;

    const bool written = writeReport(options, report);
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
