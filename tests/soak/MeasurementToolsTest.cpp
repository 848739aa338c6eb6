// The instruments the soak runs and the benchmark rely on: if they misread descriptors,
// memory, threads, CPU time or wire bytes, every verdict built on them is wrong.
#include "LinkPair.h"
#include "ProcessStats.h"
#include "Stats.h"
#include "Transfer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(MeasurementTools, ProcessCountersFollowWhatTheProcessDoes)
{
    const int descriptors = bench::openDescriptorCount();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_EQ(bench::openDescriptorCount(), descriptors + 2);
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_EQ(bench::openDescriptorCount(), descriptors);

    constexpr std::size_t kBytes = 64u << 20;
    const uint64_t resident = bench::residentBytes();
    std::vector<char> block(kBytes);
    std::memset(block.data(), 1, block.size()); // every page resident; at least half counts
    EXPECT_GE(bench::residentBytes(), resident + kBytes / 2);

    std::thread([] {}).join(); // a first thread may bring a sanitizer's helper along
    const int threads = bench::threadCount();
    std::atomic<bool> release{false}, running{false};
    std::thread other([&] {
        running = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!running)
        std::this_thread::yield();
    EXPECT_EQ(bench::threadCount(), threads + 1);
    release = true;
    other.join();

    const double start = bench::processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double afterSleep = bench::processCpuSeconds();
    EXPECT_LT(afterSleep - start, 0.1);
    volatile uint64_t sink = 0;
    for (const bench::Clock::time_point spin = bench::Clock::now();
         bench::secondsSince(spin) < 0.2;)
        sink = sink + 1;
    EXPECT_GT(bench::processCpuSeconds() - afterSleep, 0.01);
}

// One measurement: count request 7 + ACK 1, answer 7 + 2 + ACK 1, retrieve 7 + ACK 1,
// header 7 + 11 + ACK 1, 255 blocks of 7 + 1 + 510 + ACK 1; each further one a request,
// a header and 255 blocks.
TEST(MeasurementTools, MedianAndWireBytesOfATransfer)
{
    EXPECT_DOUBLE_EQ(bench::median({5.0, 1.0, 3.0}), 3.0);
    EXPECT_DOUBLE_EQ(bench::median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_DOUBLE_EQ(bench::median({}), 0.0);
    EXPECT_DOUBLE_EQ(bench::maximum({2.0, 7.5, 1.0}), 7.5);
    EXPECT_EQ(bench::transferWireBytes(1), 132390u);
    EXPECT_EQ(bench::transferWireBytes(3) - bench::transferWireBytes(2), 8u + 19u + 255u * 519u);
}

// Raw both ways, also bytes a cooked terminal would translate or swallow; a closed peer
// ends a read.
TEST(MeasurementTools, TcpAndPtyPairsAreRawInBothDirections)
{
    const uint8_t bytes[] = {0x0D, 0x0A, 0x03, 0x04, 0x13, 0x7F, 0xFF, 0x02};
    for (auto make : {&bench::makeTcpPair, &bench::makePtyPair}) {
        bench::LinkPair pair = make();
        ASSERT_TRUE(pair.device.valid() && pair.host.valid());
        for (auto [from, to] : {std::pair{pair.device.get(), pair.host.get()},
                                std::pair{pair.host.get(), pair.device.get()}}) {
            uint8_t got[sizeof bytes] = {};
            ASSERT_TRUE(bench::writeAll(from, bytes, sizeof bytes));
            ASSERT_TRUE(bench::readExact(to, got, sizeof got));
            EXPECT_EQ(std::memcmp(got, bytes, sizeof bytes), 0);
        }
    }
    bench::LinkPair pair = bench::makeTcpPair();
    pair.host.reset();
    uint8_t byte = 0;
    EXPECT_FALSE(bench::readExact(pair.device.get(), &byte, 1));
}

} // namespace
