// The library's figures: measurement transfer next to the reference ping-pong, paced
// serial against wire time, CPU time, stopChannel latency and memory per channel.
#ifndef LUMO_BENCH_LIBRARYBENCH_H
#define LUMO_BENCH_LIBRARYBENCH_H

#include "Options.h"
#include "Report.h"

namespace bench {

void runLibraryBench(const Options &options, Report &report);

} // namespace bench

#endif
