#include "FaultInjection.h"
#include "Session.h"

#include <algorithm>

namespace lumosim {

namespace {

constexpr uint8_t kCorruptLrcMask = 0xFF;
constexpr uint8_t kNoisePattern[] = {0xFF, 0x00, 0x55, 0xAA, 0x13, 0x7E, 0x80, 0x31};
constexpr std::size_t kFloodChunk = 256;
constexpr int kFloodWriteSliceMs = 100; // keep reading the host while it does not read us
constexpr uint32_t kFloodSeed = 0x2545F491;
constexpr std::size_t kFloodDrainChunk = 512;

} // namespace

FrameFaults faultsForFrame(const FaultConfig &faults, uint64_t frameNo, bool handshake)
{
    FrameFaults f;
    f.answerDelayMs = handshake ? 0 : faults.answerDelayMs;
    f.noiseBytes = faults.noiseBytes;
    f.badLrcFirst = frameNo == faults.badLrcFrame;
    f.dropAfterFirst = frameNo == faults.dropAfterFrames;
    f.silentAfterFirst = frameNo == faults.silentAfterFrames;
    f.garbleFirstAck = !handshake && frameNo == faults.repeatFrame;
    return f;
}

void appendNoise(Bytes &out, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        out.push_back(kNoisePattern[i % sizeof kNoisePattern]);
}

void corruptLrc(Bytes &out)
{
    out.back() ^= kCorruptLrcMask;
}

bool nakHostFrame(const FaultConfig &faults, uint64_t hostFrameNo)
{
    return hostFrameNo == faults.nakHostFrame;
}

FaultConfig faultsForRetrieval(const FaultConfig &faults, uint64_t retrieval)
{
    const bool faulty = faults.faultyRetrieval == 0 || retrieval == faults.faultyRetrieval;
    return faulty ? faults : FaultConfig{};
}

std::vector<uint32_t> blockOrder(uint32_t blocks, const FaultConfig &f)
{
    const uint32_t sent = blocks - std::min(blocks, f.withheldBlocks);
    std::vector<uint32_t> order;
    order.reserve(sent + 1);
    const bool lastFirst = f.lastBlockFirst && sent > 1;
    if (lastFirst)
        order.push_back(sent);
    for (uint32_t k = 1; k <= (lastFirst ? sent - 1 : sent); ++k)
        order.push_back(k);
    if (f.swapFirstBlocks && order.size() >= 2)
        std::swap(order[0], order[1]);
    const auto first = std::find(order.begin(), order.end(), f.repeatBlock);
    if (f.repeatBlock != 0 && first != order.end())
        order.insert(first + 1, f.repeatBlock);
    return order;
}

// Garbage instead of a session, until the host goes away or the run is stopped.
Simulator::Session::Step Simulator::Session::flood()
{
    uint8_t chunk[kFloodChunk];
    uint8_t scratch[kFloodDrainChunk];
    uint32_t x = kFloodSeed;
    link_.setWriteTimeout(kFloodWriteSliceMs);
    for (;;) {
        std::size_t got = 0;
        IoResult r = link_.readAvailable(scratch, sizeof scratch, got);
        if (r != IoResult::Ok)
            return fromIo(r);
        for (uint8_t &b : chunk) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = uint8_t(x);
        }
        r = link_.write(chunk, sizeof chunk);
        if (r == IoResult::Ok)
            sim_.update([](SimReport &rep) { rep.floodBytes += kFloodChunk; });
        else if (r != IoResult::Timeout)
            return fromIo(r);
    }
}

} // namespace lumosim
