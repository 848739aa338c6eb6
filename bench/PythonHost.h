// The Python host (bench/python_host.py) and the C++ bench host (lumo-bench-host) as
// child processes, fed by the in-process simulator over TCP.
#ifndef LUMO_BENCH_PYTHON_HOST_H
#define LUMO_BENCH_PYTHON_HOST_H

#include "Transfer.h"

namespace bench {

// True when this build knows an interpreter and the module.
bool pythonHostAvailable();

// One transfer of `measurements` measurements over TCP loopback to the Python host, or
// to the C++ bench host in a process of its own (the same arrangement).
TransferRun pythonTransferOnce(int measurements);
TransferRun nativeChildTransferOnce(int measurements);

} // namespace bench

#endif
