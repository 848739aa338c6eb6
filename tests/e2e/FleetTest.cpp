// Channels that serve several devices at once, and what no peer may do to any TCP
// channel: hold the door with silence, trickling bytes or bad frames, or keep a port that
// cannot be listened on looking like a working channel.
#include "Fixtures.h"
#include "TapIo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace e2e {
namespace {

using namespace liblumo;
using namespace std::chrono_literals;

constexpr uint32_t kDin = 5150;
const std::string kDinText = "000-005-150";

// A port text that cannot be listened on fails startChannel, for both kinds of TCP
// profile, without a single event; the id is already gone.
class PortErrors : public testing::TestWithParam<std::tuple<const char *, bool>> {};

TEST_P(PortErrors, StartChannelReportsThePort)
{
    const auto [text, fleet] = GetParam();
    std::string port = text;
    int taken = -1;
    if (port == "taken") {
        const int free = io::freeTcpPort();
        taken = io::listenTcp(free);
        ASSERT_GE(taken, 0);
        port = std::to_string(free);
    }
    std::unique_ptr<TCPProfile> profile =
        fleet ? std::make_unique<FleetTCPProfile>() : std::make_unique<TCPProfile>();
    profile->setServerPort(port);
    HostRecorder host;
    lumo_ErrorCodes error = ERR_NONE;
    const int id = library().startChannel(profile.get(), &HostRecorder::callback, &host, &error);
    EXPECT_EQ(error, ERR_PORT_UNAVAILABLE) << port;
    library().stopChannel(id, &error);
    EXPECT_TRUE(host.events().empty());
    io::closeFd(taken);
}

INSTANTIATE_TEST_SUITE_P(Fleet, PortErrors,
                         testing::Combine(testing::Values("0", "65536", "abc", "50x0", "", "-1",
                                                          "taken"),
                                          testing::Bool()));

// A device on a flaky link calls again before its old connection is seen dead: the new
// connection takes it over and the old one is closed.
TEST(Fleet, ANewerConnectionTakesTheDeviceOver)
{
    HostRecorder host;
    host.acceptAll();
    host.setFallback(kDinText, act(CALIBRATION));
    auto channel = Channel::fleet(host, 8);
    SimRun first(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(first.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, kDinText, 1, kEventWaitMs)) << host.trace();
    SimRun second(oneDevice(device(kDin, 0, 0, 0)));
    ASSERT_TRUE(second.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, kDinText, 2, kEventWaitMs)) << host.trace();
    EXPECT_TRUE(first.tap.waitHostClosed(kEventWaitMs));
    const int asked = host.count(EV_REQUEST_ACTION, kDinText);
    EXPECT_TRUE(host.waitFor(EV_REQUEST_ACTION, kDinText, asked + 2, kEventWaitMs));
    EXPECT_FALSE(second.tap.hostClosed());
    EXPECT_LT(channel->stop(), kStopBoundMs);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

// A peer that writes on its own thread until the library closes the connection.
class RawPeer {
public:
    // silent: says nothing; trickle: one byte of a frame that never completes every
    // 400 ms; badFrames: a handshake with a wrong LRC every 50 ms.
    enum Kind { Silent, Trickle, BadFrames };

    RawPeer(int port, Kind kind) : fd(io::connectTcp(port)), kind(kind)
    {
        if (fd >= 0 && kind != Silent)
            writer = std::thread([this] { write(); });
    }
    ~RawPeer()
    {
        done = true;
        if (writer.joinable())
            writer.join();
        io::closeFd(fd);
    }
    bool connected() const { return fd >= 0; }
    // True when the library closed the connection within timeoutMs.
    bool closedByHost(int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        uint8_t scratch[256];
        while (std::chrono::steady_clock::now() < end) {
            bool ready = false;
            if (!io::waitAny(&fd, &ready, 1, 100))
                continue;
            const long got = io::readSome(fd, scratch, sizeof scratch);
            if (got == 0 || got == -1)
                return true;
        }
        return false;
    }

private:
    void write()
    {
        const std::vector<uint8_t> trickle = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01};
        // STX, packet 1, length 14, handshake, 12 bytes of DIN 1, and a wrong LRC.
        const std::vector<uint8_t> bad = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0x01,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0x00, 0x00, 0x00, 0x00, 0x55};
        for (std::size_t i = 0; !done; ++i) {
            const bool ok = kind == Trickle ? io::writeAll(fd, &trickle[i % trickle.size()], 1)
                                            : io::writeAll(fd, bad.data(), bad.size());
            if (!ok)
                return;
            std::this_thread::sleep_for(kind == Trickle ? 400ms : 50ms);
        }
    }

    int fd;
    Kind kind;
    std::atomic<bool> done{false};
    std::thread writer;
};

// Silence, trickling bytes and bad frames are no progress: each such connection is closed
// by the idle rule or the bad-frame bound, and the real device behind them is served.
class HostilePeers : public testing::TestWithParam<int> {};

TEST_P(HostilePeers, CannotKeepARealDeviceOut)
{
    const int limit = GetParam();
    HostRecorder host;
    host.acceptAll();
    auto channel = limit > 1 ? Channel::fleet(host, limit) : Channel::tcp(host);
    std::vector<std::unique_ptr<RawPeer>> peers;
    peers.push_back(std::make_unique<RawPeer>(channel->port(), RawPeer::Trickle));
    peers.push_back(std::make_unique<RawPeer>(channel->port(), RawPeer::BadFrames));
    // Many silent connections only where the channel serves them side by side.
    for (int i = 0; limit > 1 && i < 40; ++i)
        peers.push_back(std::make_unique<RawPeer>(channel->port(), RawPeer::Silent));
    for (const auto &peer : peers)
        ASSERT_TRUE(peer->connected());

    lumosim::SimConfig patient = oneDevice(device(kDin, 0, 0, 0));
    patient.timeouts.handshakeMs = kEventWaitMs;
    SimRun real(patient);
    ASSERT_TRUE(real.overTcp(channel->port()));
    EXPECT_TRUE(host.waitFor(EV_DEVICE_ADDED, kDinText, 1, kEventWaitMs)) << host.trace();
    for (std::size_t i = 0; i < peers.size(); ++i)
        EXPECT_TRUE(peers[i]->closedByHost(kEventWaitMs)) << "peer " << i;
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE), 1); // no bad frame passed for a handshake
    EXPECT_LT(channel->stop(), kStopBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Fleet, HostilePeers, testing::Values(1, 64), [](const auto &info) {
    return info.param > 1 ? std::string("Fleet") : std::string("Single");
});

} // namespace
} // namespace e2e
