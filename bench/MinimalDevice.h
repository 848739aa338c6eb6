// The cheapest device that can serve a measurement transfer: blocking reads and writes,
// frames prepared in advance, no poll, no parsing beyond the command byte. Next to the
// simulator it shows how much of a transfer's time the device side costs, so that what
// remains is the library's.
#ifndef LUMO_BENCH_MINIMALDEVICE_H
#define LUMO_BENCH_MINIMALDEVICE_H

#include "LinkPair.h"

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class MinimalDevice {
public:
    // Serves one session: handshake, any count and retrieval requests for `measurements`
    // measurements of 255 blocks x 255 samples, until the host sends it to sleep.
    explicit MinimalDevice(int measurements);
    ~MinimalDevice();
    MinimalDevice(const MinimalDevice &) = delete;
    MinimalDevice &operator=(const MinimalDevice &) = delete;

    // Connects to the library's TCP port and serves on a thread of its own.
    bool startTcp(int port);
    // Serves on a pseudo-terminal master once the host has opened the slave.
    bool startPty(Fd master);
    // Waits for the session's end; true when the host sent the device to sleep.
    bool finish();
    // CPU seconds the device's thread used (valid after finish).
    double cpuSeconds() const { return cpu; }

private:
    using Frame = std::vector<uint8_t>;
    Frame makeFrame(uint8_t command, const std::vector<uint8_t> &data) const;
    void prepareFrames();
    bool serve();
    bool sendFrame(const Frame &frame);
    bool readHostFrame(uint8_t &command);
    bool answer(uint8_t command, bool &asleep);

    int measurements;
    int handedOver = 0;
    Fd link;
    std::thread thread;
    bool slept = false;
    double cpu = 0.0;
    Frame handshake, countAnswer, header;
    std::vector<Frame> blocks;
    std::vector<uint8_t> hostFrame;
};

} // namespace bench

#endif
