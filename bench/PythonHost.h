// The Python host (bench/python_host.py) as a child process, fed by the in-process
// simulator over TCP, next to the C++ bench host.
#ifndef LUMO_BENCH_PYTHON_HOST_H
#define LUMO_BENCH_PYTHON_HOST_H

#include "Transfer.h"

namespace bench {

// True when this build knows an interpreter and the module.
bool pythonHostAvailable();

// One transfer of `measurements` measurements to the Python host over TCP loopback.
TransferRun pythonTransferOnce(int measurements);

} // namespace bench

#endif
