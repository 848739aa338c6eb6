// A device held online under host control: keep-alives, their numbering and spacing, a
// keep-alive that fails, and what holding a device costs.
#include "Fixtures.h"
#include "TapIo.h"
#include "TestChecks.h"
#include "transports/TimeOut.h"

#include <gtest/gtest.h>

#include <iostream>

namespace e2e {
namespace {

using namespace liblumo;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kDin = 1234;
const std::string kDinText = "000-001-234";
// No keep-alive before the interval has passed; a late one still counts up to this.
constexpr int64_t kLatestKeepAliveMs = 2 * kIntervalMs;
// A busy loop would burn a whole core; an idle hold costs a few percent at most.
constexpr double kMaxCpuShare = 0.25;

TEST(Control, KeepAlivesAreNumberedFromTheHandshakeAndSpacedByTheInterval)
{
    HostRecorder host;
    host.accept(kDinText);
    host.setFallback(act(CONTROL));
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 1, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));

    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs));
    const int64_t cpuBefore = io::processCpuMs();
    const int64_t wallBefore = TimeOut::nowMs();
    ASSERT_TRUE(run.tap.waitHostFrames(0xF1, 3, 4 * kIntervalMs)) << host.trace();
    const int64_t cpuUsed = io::processCpuMs() - cpuBefore;
    const int64_t wallUsed = TimeOut::nowMs() - wallBefore;
    std::cout << "[ measured ] device held in CONTROL: " << cpuUsed << " ms CPU in " << wallUsed
              << " ms\n";
    testing::Test::RecordProperty("control_cpu_ms", int(cpuUsed));
    EXPECT_LT(double(cpuUsed), kMaxCpuShare * double(wallUsed));

    const int64_t stopTook = channel->stop();
    std::cout << "[ measured ] stopChannel in CONTROL: " << stopTook << " ms\n";
    EXPECT_LT(stopTook, kStopBoundMs);
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs));

    // Each keep-alive carries the packet number of the device's last frame and its own
    // ten-digit counter: 1, 2, 3.
    const auto keepAlives = run.tap.hostFrames(0xF1);
    ASSERT_GE(keepAlives.size(), 3u);
    EXPECT_EQ(keepAlives[0].raw, (Bytes{0x02, 0x00, 0x01, 0x00, 0x0C, 0xF1, 0x30, 0x30, 0x30, 0x30,
                                        0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0xFF}));
    EXPECT_EQ(keepAlives[1].raw, (Bytes{0x02, 0x00, 0x02, 0x00, 0x0C, 0xF1, 0x30, 0x30, 0x30, 0x30,
                                        0x30, 0x30, 0x30, 0x30, 0x30, 0x32, 0xFF}));
    EXPECT_EQ(keepAlives[2].raw, (Bytes{0x02, 0x00, 0x03, 0x00, 0x0C, 0xF1, 0x30, 0x30, 0x30, 0x30,
                                        0x30, 0x30, 0x30, 0x30, 0x30, 0x33, 0xFF}));

    // None within the interval after the handshake echo or after the previous one.
    const auto echoes = run.tap.hostFrames(0x01);
    ASSERT_EQ(echoes.size(), 1u);
    int64_t previous = echoes[0].atMs;
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const int64_t gap = keepAlives[i].atMs - previous;
        std::cout << "[ measured ] keep-alive " << i + 1 << " after " << gap << " ms\n";
        EXPECT_GE(gap, kIntervalMs - 1);
        EXPECT_LE(gap, kLatestKeepAliveMs);
        previous = keepAlives[i].atMs;
    }
    // The host was asked again every turn, and nothing failed.
    EXPECT_GT(host.count(EV_REQUEST_ACTION), 3);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 0);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

TEST(Control, KeepAliveWithoutAnswerDropsTheDevice)
{
    HostRecorder host;
    host.accept(kDinText);
    host.setFallback(act(CONTROL));
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(kDin, 0, 0, 0)));
    run.tap.cutOnCommand(0xF1); // the device is gone when the first keep-alive goes out
    ASSERT_TRUE(run.overTcp(channel->port()));

    ASSERT_TRUE(host.waitFor(EV_KEEPALIVE_FAILED, kDinText, 1, kEventWaitMs)) << host.trace();
    // The entry is gone: a new connection of the same device is a new handshake, and the
    // old entry is not asked for any more.
    const int requestsBefore = host.count(EV_REQUEST_ACTION, kDinText);
    host.script(kDinText, {act(EXIT)});
    SimRun again(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(again.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, kDinText, 2, kEventWaitMs)) << host.trace();
    ASSERT_TRUE(again.tap.waitHostClosed(kEventWaitMs));
    EXPECT_EQ(host.count(EV_REQUEST_ACTION, kDinText), requestsBefore + 1);
    EXPECT_EQ(host.count(EV_KEEPALIVE_FAILED), 1);
}

} // namespace
} // namespace e2e
