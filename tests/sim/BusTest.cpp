// Several devices on one half-duplex link: the devices after the first wait for a quiet
// host before they handshake, so their handshakes never cross the host's commands.
#include "ScriptedHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace simtest;

namespace {

using Clock = std::chrono::steady_clock;

// Long against any pause a busy host thread takes between two commands, so the tests
// cannot flake: only the host's deliberate silences reach it.
constexpr int kQuietMs = 1500;
constexpr uint8_t kStatus = 0xA4, kCount = 0xB0, kRetrieve = 0xB1, kSleep = 0x91;
// The status answer: a 2-byte size, then the first status word, which the default
// devices derive from their DIN.
constexpr std::size_t kStatusDinAt = 2;

lumosim::SimConfig bus(std::initializer_list<uint32_t> measurements)
{
    lumosim::SimConfig cfg = oneDevice();
    cfg.devices.clear();
    uint32_t din = 1000;
    for (uint32_t m : measurements) {
        lumosim::SimDevice d = lumosim::defaultDevice(din++);
        d.measurements = m;
        d.blocks = 1;
        d.samplesPerBlock = 2;
        cfg.devices.push_back(d);
    }
    cfg.timeouts.busQuietMs = kQuietMs;
    return cfg;
}

long msSince(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Accepts a handshake and tells when the host's last byte of it (the echo) went out;
// the time is taken before the write, so the device cannot have seen it earlier.
bool acceptTimed(ScriptedHost &host, RawFrame &hs, Clock::time_point &echoSent)
{
    if (!host.readFrame(hs) || hs.command != 0x01)
        return false;
    host.ack();
    echoSent = Clock::now();
    host.write(hostFrame(hs.packet, 0x01, hs.data));
    return host.readControl() == ACK;
}

// Fetches n measurements of one block each, acknowledging every frame.
void transfer(ScriptedHost &host, int n)
{
    RawFrame frame;
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(host.command(kRetrieve), ACK);
        ASSERT_TRUE(host.readFrame(frame));
        EXPECT_EQ(frame.command, 0x81);
        host.ack();
        ASSERT_TRUE(host.readFrame(frame));
        EXPECT_EQ(frame.command, 0x82);
        host.ack();
    }
}

} // namespace

TEST(SimBus, FurtherHandshakesWaitForAQuietHostAndNeverCrossItsCommands)
{
    SimOnThread t(bus({0, 0, 0}));
    RawFrame hs, status;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1000);

    // A host that commands back to back is answered, never interrupted by a handshake.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(t.host.ask(kStatus, status)) << i;
        EXPECT_EQ(status.command, kStatus);
        EXPECT_EQ(le16(status.data, kStatusDinAt), 1000) << i;
    }
    const Clock::time_point lastCommand = Clock::now();
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1001);
    EXPECT_GE(msSince(lastCommand), kQuietMs);

    // The third waits for a quiet window after the second's handshake as well.
    const Clock::time_point secondEcho = echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1002);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(echo - secondEcho).count(),
              kQuietMs);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK) << i;
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.handshakesAccepted, 3u);
    EXPECT_EQ(r.device(1000)->statusRequests, 5u);
    EXPECT_EQ(r.device(1001)->statusRequests, 0u);
    for (uint32_t din : {1000u, 1001u, 1002u})
        EXPECT_EQ(r.device(din)->sleepsReceived, 1u) << din;
}

TEST(SimBus, HostFramesDuringTheWaitPostponeTheHandshake)
{
    SimOnThread t(bus({0, 0}));
    RawFrame hs, status;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));

    // A command a third into the window: answered by the first device, and the window
    // starts again from it.
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs / 3));
    Clock::time_point sent = Clock::now();
    ASSERT_TRUE(t.host.ask(kStatus, status));
    EXPECT_EQ(le16(status.data, kStatusDinAt), 1000);

    // A frame with a wrong checksum is traffic too: NAKed, and the window starts again.
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs / 3));
    Bytes bad = hostFrame(t.host.lastPacket(), kStatus);
    bad.back() ^= 0x5A;
    sent = Clock::now();
    t.host.write(bad);
    EXPECT_EQ(t.host.readControl(), NAK);

    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1001);
    EXPECT_GE(msSince(sent), kQuietMs);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.badLrcReceived, 1u);
    EXPECT_EQ(r.device(1000)->statusRequests, 1u);
}

TEST(SimBus, NobodyAcknowledgesWhileEveryAcceptedDeviceSleeps)
{
    SimOnThread t(bus({0, 0}));
    RawFrame hs;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    // The first device sleeps and the second has not handshaken: the command is heard
    // by nobody, and it still postpones the handshake.
    const Clock::time_point sent = Clock::now();
    t.host.write(hostFrame(t.host.lastPacket(), kStatus));
    ASSERT_TRUE(acceptTimed(t.host, hs, echo)); // an ACK would be skipped, and counted
    EXPECT_EQ(le16(hs.data, 0), 1001);
    EXPECT_GE(msSince(sent), kQuietMs);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.framesReceived.at(kStatus), 1u);
    EXPECT_EQ(r.device(1000)->statusRequests, 0u);
    EXPECT_EQ(r.device(1001)->statusRequests, 0u);
    EXPECT_EQ(t.host.skipped(), 0u);
}

TEST(SimBus, AStalledFrameFragmentDoesNotHoldTheHandshakeOffForEver)
{
    SimOnThread t(bus({0, 0}));
    RawFrame hs;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    // The start of a frame whose rest never comes (a host that died mid-write).
    const Bytes frame = hostFrame(t.host.lastPacket(), kStatus);
    t.host.write(Bytes(frame.begin(), frame.begin() + 3));
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1001);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.strayBytes, 3u);          // the fragment, skipped while waiting for the ACK
    EXPECT_EQ(r.framesReceivedTotal, 4u); // two echoes, two sleeps
}

// The order a host that serves each device as soon as it knows it produces: transfer
// and sleep the first, then take the next handshake, and so on; the last two also
// share the link, so the count request passes it on.
TEST(SimBus, LateHandshakesKeepTheCommandRouting)
{
    SimOnThread t(bus({1, 2, 3}));
    RawFrame hs, count, status;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    ASSERT_TRUE(t.host.ask(kCount, count));
    EXPECT_EQ(le16(count.data, 0), 1);
    transfer(t.host, 1);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);

    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(le16(hs.data, 0), 1001);
    ASSERT_TRUE(t.host.ask(kCount, count));
    EXPECT_EQ(le16(count.data, 0), 2);
    transfer(t.host, 2);

    ASSERT_TRUE(acceptTimed(t.host, hs, echo)); // 1001 stays awake meanwhile
    EXPECT_EQ(le16(hs.data, 0), 1002);
    ASSERT_TRUE(t.host.ask(kStatus, status));
    EXPECT_EQ(le16(status.data, kStatusDinAt), 1001); // the holder until the next count
    ASSERT_TRUE(t.host.ask(kCount, count));
    EXPECT_EQ(le16(count.data, 0), 3); // passed on to the newcomer
    transfer(t.host, 3);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK); // everybody done: lowest DIN first
    ASSERT_TRUE(t.host.ask(kStatus, status));
    EXPECT_EQ(le16(status.data, kStatusDinAt), 1002);
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);

    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.device(1000)->measurementsHandedOver, 1u);
    EXPECT_EQ(r.device(1001)->measurementsHandedOver, 2u);
    EXPECT_EQ(r.device(1002)->measurementsHandedOver, 3u);
    for (uint32_t din : {1000u, 1001u, 1002u}) {
        EXPECT_EQ(r.device(din)->sleepsReceived, 1u) << din;
        EXPECT_EQ(r.device(din)->measurementsRemaining, 0u) << din;
    }
}

// A lone device on a link and the last device of a bus end the session when sent to
// sleep, however long the quiet window: nobody is left to wait for.
TEST(SimBus, NoWaitOnceEveryDeviceHasHandshaken)
{
    lumosim::SimConfig cfg = bus({0});
    cfg.timeouts.busQuietMs = kWaitMs * 10;
    SimOnThread t(cfg);
    RawFrame hs;
    Clock::time_point echo;
    ASSERT_TRUE(acceptTimed(t.host, hs, echo));
    EXPECT_EQ(t.host.command(kSleep, {0x01}), ACK);
    const auto r = t.finish();
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsCompleted, 1u);
}
