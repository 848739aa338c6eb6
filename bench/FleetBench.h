// The fleet figures (--only fleet): a FleetTCPProfile channel serving 1, 10, 100 and 1000
// simulated devices at once (lumo-sim --fleet in a process of its own, so this process
// holds only the host and the library), with no added delay and with 100 ms per frame;
// the single-connection rate of a TCPProfile in the same run; resident memory and
// descriptors per live connection and stopChannel with 1000 live connections.
#ifndef LUMO_BENCH_FLEETBENCH_H
#define LUMO_BENCH_FLEETBENCH_H

#include "Options.h"
#include "Report.h"
#include "liblumo.h"

namespace bench {

void measureFleet(liblumo::LibLumo &library, const Options &options, Report &report);

} // namespace bench

#endif
