// One measurement transfer through the library from the in-process simulator.
#ifndef LUMO_BENCH_TRANSFER_H
#define LUMO_BENCH_TRANSFER_H

#include "PingPong.h"
#include "liblumo.h"

#include <cstdint>

namespace bench {

// The largest measurement the library takes: 255 blocks (the block number is one byte
// and the last block carries the announced count) of 255 samples.
constexpr uint32_t kBlocksPerMeasurement = 255;
constexpr uint32_t kSamplesPerBlock = 255;
constexpr uint32_t kSamplesPerMeasurement = kBlocksPerMeasurement * kSamplesPerBlock;
constexpr int kBytesPerSample = 2;

enum class Logging {
    Off,        // info and debug switched off through the logging rules
    Discarding, // everything on, into a message handler that drops it
    Silent,     // info and debug off, and the remaining lines dropped too
};

void setLogging(Logging mode);

struct TransferRun {
    bool ok = false;    // every measurement arrived complete, nothing failed
    double seconds = 0; // DATA_TRANSFER answered .. EV_TRANSFER_DONE
    int measurements = 0;
    double libraryCpuSeconds = 0; // the whole process but the device's thread
    double deviceCpuSeconds = 0;  // the device's thread
    double framesPerSecond() const;
    // CPU microseconds per data-block frame (the transfer's other frames included).
    double libraryCpuPerFrameUs() const;
    double deviceCpuPerFrameUs() const;
    double sampleMegabytesPerSecond() const;
};

enum class DeviceKind {
    Simulator, // lumo-sim in this process
    Minimal,   // the bench's blocking device (MinimalDevice.h)
};

// Transfers `measurements` measurements of one device over a TCP loopback connection or a
// pseudo-terminal; paceBaud > 0 makes the simulator pace its bytes at that line rate.
TransferRun transferOnce(liblumo::LibLumo &library, LinkKind kind, int measurements,
                         uint32_t paceBaud = 0, DeviceKind device = DeviceKind::Simulator);

// Bytes on the wire, both directions, for one transfer of `measurements` measurements.
uint64_t transferWireBytes(int measurements);

} // namespace bench

#endif
