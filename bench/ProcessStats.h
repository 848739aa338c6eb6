// What the process costs: CPU time, resident memory and open descriptors, read from the
// kernel's accounting (getrusage and /proc/self).
#ifndef LUMO_BENCH_PROCESSSTATS_H
#define LUMO_BENCH_PROCESSSTATS_H

#include <cstdint>

namespace bench {

// User + system CPU seconds of the whole process (every thread).
double processCpuSeconds();
// CPU seconds of the calling thread.
double callingThreadCpuSeconds();
// Names the calling thread (at most 15 characters) for perf and top.
void nameThisThread(const char *name);
// Resident set size in bytes; 0 when it cannot be read.
uint64_t residentBytes();
// Number of open file descriptors; -1 when it cannot be read.
int openDescriptorCount();
// Number of threads of the process; -1 when it cannot be read.
int threadCount();

} // namespace bench

#endif
