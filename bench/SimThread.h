// The device simulator running in this process on a thread of its own.
#ifndef LUMO_BENCH_SIMTHREAD_H
#define LUMO_BENCH_SIMTHREAD_H

#include "LinkProvider.h"
#include "SimConfig.h"
#include "SimReport.h"
#include "Simulator.h"

#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace bench {

class SimThread {
public:
    SimThread(lumosim::SimConfig config, std::unique_ptr<lumosim::LinkProvider> links);
    ~SimThread();
    SimThread(const SimThread &) = delete;
    SimThread &operator=(const SimThread &) = delete;

    void start();
    // Waits until the simulator has played all its sessions; false when the time passed.
    bool waitUntilDone(double seconds);
    // Stops the simulator and waits for its thread; returns its report.
    lumosim::SimReport finish();
    // CPU seconds the simulator's thread has used so far, or in all once it has ended.
    double cpuSeconds() const;
    lumosim::SimReport report() const { return simulator.report(); }

private:
    lumosim::Simulator simulator;
    std::unique_ptr<lumosim::LinkProvider> links;
    std::thread thread;
    clockid_t cpuClock{};
    bool haveCpuClock = false;
    lumosim::SimReport finalReport;
    mutable std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    double finalCpu = 0.0;
};

// One device with `measurements` stored measurements of blocks x samplesPerBlock samples.
lumosim::SimConfig oneDevice(uint32_t measurements, uint32_t blocks, uint32_t samplesPerBlock);

std::unique_ptr<lumosim::LinkProvider> tcpLinks(int port);
// A pseudo-terminal pair made now; slavePath receives the path the host opens.
std::unique_ptr<lumosim::LinkProvider> ptyLinks(std::string &slavePath);

} // namespace bench

#endif
