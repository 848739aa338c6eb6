// The instruments the soak runs and the benchmark rely on: if they misread descriptors,
// memory or wire bytes, every figure built on them is wrong.
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

TEST(MeasurementTools, DescriptorCountFollowsOpenAndClose)
{
    const int before = bench::openDescriptorCount();
    ASSERT_GE(before, 3); // stdin, stdout, stderr at least
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_EQ(bench::openDescriptorCount(), before + 2);
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_EQ(bench::openDescriptorCount(), before);
}

TEST(MeasurementTools, ResidentMemoryGrowsWithTouchedPages)
{
    constexpr std::size_t kBytes = 64u << 20;
    const uint64_t before = bench::residentBytes();
    ASSERT_GT(before, 0u);
    std::vector<char> block(kBytes);
    std::memset(block.data(), 1, block.size()); // make every page resident
    // At least half of it, whatever the allocator and the kernel did besides.
    EXPECT_GE(bench::residentBytes(), before + kBytes / 2);
    EXPECT_EQ(block[kBytes - 1], 1);
}

TEST(MeasurementTools, ThreadCountSeesAnotherThread)
{
    // A first thread may bring helpers of its own (a sanitizer's background thread):
    // count from after one has come and gone.
    std::thread([] {}).join();
    const int before = bench::threadCount();
    ASSERT_GE(before, 1);
    std::atomic<bool> release{false};
    std::atomic<bool> running{false};
    std::thread other([&] {
        running = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!running)
        std::this_thread::yield();
    EXPECT_EQ(bench::threadCount(), before + 1);
    release = true;
    other.join();
}

TEST(MeasurementTools, CpuTimeCountsWorkNotSleep)
{
    const double start = bench::processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double afterSleep = bench::processCpuSeconds();
    // A sleeping process uses next to nothing: well under the 200 ms it slept.
    EXPECT_LT(afterSleep - start, 0.1);
    volatile uint64_t sink = 0;
    const bench::Clock::time_point spinStart = bench::Clock::now();
    while (bench::secondsSince(spinStart) < 0.2)
        sink = sink + 1;
    // Spinning for 200 ms of wall time gets at least some CPU even on a loaded machine.
    EXPECT_GT(bench::processCpuSeconds() - afterSleep, 0.01);
}

// One transfer of one measurement: count request 7 + ACK 1, count answer 7 + 2 + ACK 1,
// retrieve request 7 + ACK 1, header 7 + 11 + ACK 1, 255 blocks of 7 + 1 + 510 + ACK 1;
// every further measurement adds a request, a header and 255 blocks.
TEST(MeasurementTools, MedianAndWireBytesOfATransfer)
{
    EXPECT_DOUBLE_EQ(bench::median({5.0, 1.0, 3.0}), 3.0);
    EXPECT_DOUBLE_EQ(bench::median({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_DOUBLE_EQ(bench::median({}), 0.0);
    EXPECT_DOUBLE_EQ(bench::maximum({2.0, 7.5, 1.0}), 7.5);
    EXPECT_EQ(bench::transferWireBytes(1), 132390u);
    EXPECT_EQ(bench::transferWireBytes(3) - bench::transferWireBytes(2), 8u + 19u + 255u * 519u);
}

// Both directions carry every byte, also those a cooked terminal would translate or
// swallow (CR, LF, ^C, ^D, ^S, DEL, 0xFF).
TEST(MeasurementTools, TcpAndPtyPairsAreRawInBothDirections)
{
    for (auto make : {&bench::makeTcpPair, &bench::makePtyPair}) {
        bench::LinkPair pair = make();
        ASSERT_TRUE(pair.device.valid() && pair.host.valid());
        const uint8_t bytes[] = {0x0D, 0x0A, 0x03, 0x04, 0x13, 0x7F, 0xFF, 0x02};
        uint8_t got[sizeof bytes] = {};
        ASSERT_TRUE(bench::writeAll(pair.device.get(), bytes, sizeof bytes));
        ASSERT_TRUE(bench::readExact(pair.host.get(), got, sizeof got));
        EXPECT_EQ(std::memcmp(got, bytes, sizeof bytes), 0);
        ASSERT_TRUE(bench::writeAll(pair.host.get(), bytes, sizeof bytes));
        ASSERT_TRUE(bench::readExact(pair.device.get(), got, sizeof got));
        EXPECT_EQ(std::memcmp(got, bytes, sizeof bytes), 0);
    }
    // A closed peer ends a read instead of blocking it.
    bench::LinkPair pair = bench::makeTcpPair();
    pair.host.reset();
    uint8_t byte = 0;
    EXPECT_FALSE(bench::readExact(pair.device.get(), &byte, 1));
}

} // namespace
