#include "PingPong.h"

#include "LinkPair.h"
#include "ProcessStats.h"
#include "Stats.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <thread>

namespace bench {

namespace {

constexpr uint8_t kAck = 0x06;

// The device side: frame out, wait for the acknowledgement, repeat.
bool runDevice(int fd, int frames)
{
    std::array<uint8_t, kBlockFrameBytes> frame{};
    frame[0] = 0x02;
    for (int i = 0; i < frames; ++i) {
        frame[1] = static_cast<uint8_t>(i);
        uint8_t answer = 0;
        if (!writeAll(fd, frame.data(), frame.size()) || !readExact(fd, &answer, 1) ||
            answer != kAck)
            return false;
    }
    return true;
}

bool runHost(int fd, int frames)
{
    std::array<uint8_t, kBlockFrameBytes> frame{};
    for (int i = 0; i < frames; ++i) {
        if (!readExact(fd, frame.data(), frame.size()) || !writeAll(fd, &kAck, 1))
            return false;
    }
    return true;
}

} // namespace

double pingPongFramesPerSecond(LinkKind kind, int frames)
{
    LinkPair pair = kind == LinkKind::Tcp ? makeTcpPair() : makePtyPair();
    if (!pair.device.valid() || !pair.host.valid())
        return 0.0;
    std::atomic<bool> deviceOk{false};
    std::atomic<bool> hostOk{false};
    const Clock::time_point start = Clock::now();
    std::thread device([&] {
        nameThisThread("ref-device");
        deviceOk = runDevice(pair.device.get(), frames);
    });
    std::thread host([&] {
        nameThisThread("ref-host");
        hostOk = runHost(pair.host.get(), frames);
    });
    device.join();
    host.join();
    const double seconds = secondsSince(start);
    if (!hostOk || !deviceOk || seconds <= 0.0)
        return 0.0;
    return frames / seconds;
}

} // namespace bench
