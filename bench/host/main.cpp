// lumo-bench-host: the bench's C++ host in a process of its own, with the same plan and
// timing as bench/python_host.py, so both hosts meet the device in the same arrangement.
//
//   lumo-bench-host PORT SAMPLES_PER_MEASUREMENT
// Prints "listening", then, once a line arrives on stdin, "SECONDS MEASUREMENTS OK".
#include "Host.h"

#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndefault.info=false"));
    liblumo::LibLumo library;
    bench::Host host(library, bench::Plan::TransferThenSleep);
    host.expectSamples(uint32_t(std::atoi(argv[2])));
    if (!host.startTcp(std::atoi(argv[1])))
        return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    const bench::HostCounters c = host.snapshot();
    host.stop();
    const double seconds = std::chrono::duration<double>(c.transferEnd - c.transferStart).count();
    const bool ok = c.transfersDone == 1 && c.actionsFailed == 0 && !c.badSamples;
    std::printf("%.6f %d %d\n", seconds, c.measurements, ok ? 1 : 0);
    return 0;
}
