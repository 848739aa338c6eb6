// Fleet channels, and what no peer may do to a TCP channel: hold the door with silence,
// trickles, bad frames or garbage; a port that cannot be listened on fails the start.
#include "Fixtures.h"
#include "exchange/DeviceTable.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace e2e {
namespace {

using namespace liblumo;
using namespace std::chrono_literals;

constexpr uint32_t kDin = 5150;
const std::string kDinText = "000-005-150";

// Both kinds of TCP profile, without a single event; the id is already gone.
class PortErrors : public testing::TestWithParam<std::tuple<const char *, bool>> {};

TEST_P(PortErrors, StartChannelReportsThePort)
{
    const auto [text, fleet] = GetParam();
    std::string port = text;
    int taken = -1;
    if (port == "taken") {
        taken = freeTcpPort(true);
        ASSERT_GE(taken, 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(taken, reinterpret_cast<sockaddr *>(&address), &length);
        port = std::to_string(ntohs(address.sin_port));
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
    ::close(taken);
}

INSTANTIATE_TEST_SUITE_P(Fleet, PortErrors,
                         testing::Combine(testing::Values("0", "65536", "abc", "50x0", "", "-1",
                                                          "taken"),
                                          testing::Bool()));

// A device calls again before its old connection is seen dead: the new connection takes it
// over once the old one has shown no frame for the takeover time. Before that a newcomer
// with its DIN is refused without asking the host, so a peer claiming the DIN of a device
// that is talking cannot cut it off.
TEST(Fleet, ANewerConnectionTakesOnlyASilentDeviceOver)
{
    HostRecorder host;
    host.accept();
    host.setFallback(act(CALIBRATION), kDinText); // the first connection falls silent
    auto channel = tcpChannel(host, 8);
    SimRun first(oneDevice(device(kDin)));
    ASSERT_TRUE(first.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, kEventWaitMs, kDinText)) << host.trace();
    const auto addedAt = std::chrono::steady_clock::now();
    SimRun early(oneDevice(device(kDin)));
    ASSERT_TRUE(early.overTcp(channel->port));
    EXPECT_TRUE(early.tap.waitHostClosed(kEventWaitMs)); // refused until it gave up
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE, kDinText), 1);
    EXPECT_LT(first.tap.hostClosedAtMs(), 0);

    std::this_thread::sleep_until(
        addedAt + std::chrono::milliseconds(liblumo::DeviceTable::kTakeOverSilenceMs));
    SimRun late(oneDevice(device(kDin)));
    ASSERT_TRUE(late.overTcp(channel->port));
    ASSERT_TRUE(host.waitFor(EV_DEVICE_ADDED, 2, kEventWaitMs, kDinText)) << host.trace();
    EXPECT_TRUE(first.tap.waitHostClosed(kEventWaitMs));
    const int asked = host.count(EV_REQUEST_ACTION, kDinText);
    EXPECT_TRUE(host.waitFor(EV_REQUEST_ACTION, asked + 2, kEventWaitMs, kDinText));
    EXPECT_LT(late.tap.hostClosedAtMs(), 0);
    EXPECT_LT(channel->stop(), kStopBoundMs);
    EXPECT_EQ(host.events().back().event, EV_CHANNEL_STOPPED);
}

// Writes until the library closes: nothing, a byte of a never-complete frame every 400 ms,
// or a handshake with a wrong LRC every 50 ms.
struct RawPeer {
    enum Kind { Silent, Trickle, BadFrames };

    RawPeer(int port, Kind kind) : fd(tap.connect(port))
    {
        writer = std::thread([this, kind] {
            Bytes bytes = {0x02, 0x00, 0x01, 0x00, 0x0E, 0x01, 0x01}; // DIN 1
            bytes.insert(bytes.end(), 11, 0x00);
            bytes.push_back(0x55);
            for (std::size_t i = 0; kind != Silent && !done; ++i) {
                if (!(kind == Trickle ? writeAll(fd, &bytes[i % 6], 1)
                                      : writeAll(fd, bytes.data(), bytes.size())))
                    return;
                std::this_thread::sleep_for(kind == Trickle ? 400ms : 50ms);
            }
        });
    }
    ~RawPeer()
    {
        done = true;
        writer.join();
        ::close(fd);
    }
    WireTap tap;
    int fd;
    std::atomic<bool> done{false};
    std::thread writer;
};

// No progress: each such connection is closed by the idle rule or the bad-frame bound,
// and the real device behind them is served.
class HostilePeers : public testing::TestWithParam<int> {};

TEST_P(HostilePeers, CannotKeepARealDeviceOut)
{
    const int limit = GetParam();
    const int waitMs = 3 * kEventWaitMs;
    HostRecorder host;
    host.accept();
    auto channel = tcpChannel(host, limit > 1 ? limit : 0);
    std::vector<std::unique_ptr<RawPeer>> peers;
    peers.push_back(std::make_unique<RawPeer>(channel->port, RawPeer::Trickle));
    peers.push_back(std::make_unique<RawPeer>(channel->port, RawPeer::BadFrames));
    // Many silent connections only where the channel serves them side by side.
    for (int i = 0; limit > 1 && i < 40; ++i)
        peers.push_back(std::make_unique<RawPeer>(channel->port, RawPeer::Silent));
    for (const auto &peer : peers)
        ASSERT_GE(peer->fd, 0);
    lumosim::SimConfig flooding = oneDevice(device(kDin + 1));
    flooding.faults.flood = true;
    SimRun flood(flooding);
    ASSERT_TRUE(flood.overTcp(channel->port));

    lumosim::SimConfig patient = oneDevice(device(kDin));
    patient.timeouts.handshakeMs = waitMs;
    SimRun real(patient);
    ASSERT_TRUE(real.overTcp(channel->port));
    EXPECT_TRUE(host.waitFor(EV_DEVICE_ADDED, 1, waitMs, kDinText)) << host.trace();
    // One connection at a time: the device, which connected last, was let in only after
    // the host had closed both peers.
    for (std::size_t i = 0; limit == 1 && i < peers.size(); ++i)
        EXPECT_GE(peers[i]->tap.hostClosedAtMs(), 0) << "peer " << i << " still open";
    for (std::size_t i = 0; i < peers.size(); ++i)
        EXPECT_TRUE(peers[i]->tap.waitHostClosed(kEventWaitMs)) << "peer " << i;
    EXPECT_GT(flood.report().floodBytes, 0u);
    EXPECT_EQ(host.count(EV_DEVICE_HANDSHAKE), 1); // no bad frame passed for a handshake
    EXPECT_LT(channel->stop(), kStopBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Fleet, HostilePeers, testing::Values(1, 64), [](const auto &info) {
    return info.param > 1 ? std::string("Fleet") : std::string("Single");
});

} // namespace
} // namespace e2e
