// lumo-bench: prints one table of the library's performance next to the physical limit of
// this machine. Figures that are compared are measured in the same run, interleaved round
// by round, and quoted as medians of the rounds and ratios (this machine drifts).
#include "Options.h"
#include "PingPong.h"
#include "Report.h"
#include "Stats.h"

#ifdef LUMO_BENCH_HAVE_SIM
#    include "LibraryBench.h"
#endif

#include <cstdio>
#include <vector>

using namespace bench;

#ifndef LUMO_BENCH_HAVE_SIM
namespace {

void addReferenceOnly(const Options &options, Report &report)
{
    for (LinkKind kind : {LinkKind::Tcp, LinkKind::Pty}) {
        std::vector<double> rates;
        for (int round = 0; round < options.rounds; ++round)
            rates.push_back(pingPongFramesPerSecond(kind, options.pingPongFrames));
        const char *name = kind == LinkKind::Tcp ? "TCP loopback" : "pseudo-terminal";
        report.add({std::string("reference ping-pong, ") + name + ", frames/s",
                    formatNumber(median(rates), 0), "", ""});
    }
    report.note("the simulator is not part of this build: library figures left out");
}

} // namespace
#endif

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    Report report;
#ifdef LUMO_BENCH_HAVE_SIM
    runLibraryBench(options, report);
#else
    addReferenceOnly(options, report);
#endif
    report.print();
    return 0;
}
