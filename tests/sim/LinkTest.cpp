// The links a session runs on: TCP connections made per session, pseudo-terminals that
// the host opens (and that get "replugged"), and the command line that picks them.
#include "LinkProvider.h"
#include "Options.h"
#include "ScriptedHost.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

using namespace simtest;

namespace {

// A listening socket on a free loopback port.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(bool listenNow = true)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        port = ntohs(a.sin_port);
        if (listenNow)
            ::listen(fd, 4);
    }
    ~Listener() { ::close(fd); }
    int accept() { return ::accept(fd, nullptr, nullptr); }
};

// Accepts the handshake and sends the device to sleep.
void handshakeAndSleep(int fd)
{
    ScriptedHost host(fd);
    RawFrame hs;
    ASSERT_TRUE(host.acceptHandshake(hs));
    EXPECT_EQ(host.command(0x91, {0x01}), ACK);
}

std::string readLink(const std::string &path)
{
    char buf[256];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

// Waits (bounded) until the symbolic link exists as a new file: the simulator replaces
// it on every replug, even when the new pty reuses the old name. Returns its inode.
ino_t waitForNewLink(const std::string &path, ino_t previous)
{
    for (int waited = 0; waited < kWaitMs; waited += 10) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && st.st_ino != previous)
            return st.st_ino;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

std::string tempPath(const char *name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/" + name + "-" + std::to_string(::getpid());
}

} // namespace

TEST(SimLinks, TcpConnectRetriesUntilTheHostListens)
{
    Listener l(false); // bound, not listening yet: connections are refused
    auto cfg = oneDevice(0, 0, 0);
    lumosim::Simulator sim(cfg);
    lumosim::TcpLinkProvider links("127.0.0.1", l.port, kWaitMs);
    lumosim::SimReport r;
    std::thread device([&] { r = sim.run(links); });
    JoinOnExit joiner(device, &sim);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(::listen(l.fd, 4), 0);
    int c = l.accept();
    ASSERT_GE(c, 0);
    handshakeAndSleep(c);
    device.join();
    ::close(c);
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsCompleted, 1u);
}

TEST(SimLinks, TcpConnectTimeoutIsAClearFailure)
{
    int port = Listener(false).port; // closed again: nobody listens there
    auto cfg = oneDevice();
    lumosim::Simulator sim(cfg);
    lumosim::TcpLinkProvider links("127.0.0.1", port, 200);
    const auto r = sim.run(links);
    EXPECT_EQ(r.result, "failed");
    EXPECT_NE(
        r.error.find("cannot connect to 127.0.0.1:" + std::to_string(port) + " within 200 ms"),
        std::string::npos)
        << r.error;
}

TEST(SimLinks, DevicePerSessionConnectsAsTheNextDeviceAfterADrop)
{
    Listener l;
    auto cfg = oneDevice(2, 2, 1);
    cfg.devices.push_back(cfg.devices[0]);
    cfg.devices[1].din = 0x0A0B0C0D;
    cfg.devices[1].measurements = 1;
    cfg.devicePerSession = true;
    cfg.sessions = 3;
    cfg.faults.dropAfterFrames = 3; // the first block of device 1234
    lumosim::Simulator sim(cfg);
    lumosim::TcpLinkProvider links("127.0.0.1", l.port, kWaitMs);
    lumosim::SimReport r;
    std::thread device([&] { r = sim.run(links); });
    JoinOnExit joiner(device, &sim);

    // Each connection: the DIN of its handshake (little-endian) and its count answer.
    const std::vector<std::pair<Bytes, uint16_t>> turns = {{{0xD2, 0x04, 0x00, 0x00}, 0},
                                                           {{0x0D, 0x0C, 0x0B, 0x0A}, 1},
                                                           {{0xD2, 0x04, 0x00, 0x00}, 2}};
    for (std::size_t n = 0; n < turns.size(); ++n) {
        SCOPED_TRACE(n);
        int c = l.accept();
        ASSERT_GE(c, 0);
        ScriptedHost h(c);
        RawFrame hs, frame;
        ASSERT_TRUE(h.acceptHandshake(hs));
        EXPECT_EQ(Bytes(hs.data.begin(), hs.data.begin() + 4), turns[n].first);
        if (n == 0) { // header and the first block, then the link goes
            ASSERT_TRUE(h.ask(0xB1, frame));
            ASSERT_TRUE(h.readFrame(frame));
            EXPECT_EQ(frame.command, 0x82);
            EXPECT_TRUE(h.endsWithin(kWaitMs));
        } else {
            ASSERT_TRUE(h.ask(0xB0, frame));
            EXPECT_EQ(le16(frame.data, 0), turns[n].second);
            EXPECT_EQ(h.command(0x91, {0x01}), ACK);
            EXPECT_TRUE(h.endsWithin(kWaitMs));
        }
        ::close(c);
    }
    device.join();
    EXPECT_EQ(r.result, "ok");
    // Both were sent to sleep holding everything; the drop was the simulator's own doing.
    EXPECT_EQ(r.device(1234)->sessionsLeftWithMeasurements, 1u);
    EXPECT_EQ(r.device(1234)->measurementsHandedOver, 0u);
    EXPECT_EQ(r.device(0x0A0B0C0D)->sessionsLeftWithMeasurements, 1u);
    EXPECT_EQ(r.device(0x0A0B0C0D)->commandsReceived,
              (std::map<int, uint64_t>{{0xB0, 1}, {0x91, 1}}));
}

TEST(SimLinks, DroppedTcpSessionIsFollowedByAFreshConnection)
{
    Listener l;
    auto cfg = oneDevice(2, 1, 1);
    cfg.sessions = 2;
    cfg.faults.dropAfterFrames = 3; // the first header
    lumosim::Simulator sim(cfg);
    lumosim::TcpLinkProvider links("127.0.0.1", l.port, kWaitMs);
    lumosim::SimReport r;
    std::thread device([&] { r = sim.run(links); });
    JoinOnExit joiner(device, &sim);

    int c1 = l.accept();
    ScriptedHost h1(c1);
    RawFrame hs, count, frame;
    ASSERT_TRUE(h1.acceptHandshake(hs));
    ASSERT_TRUE(h1.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 2);
    ASSERT_EQ(h1.command(0xB1), ACK);
    ASSERT_TRUE(h1.readFrame(frame));
    EXPECT_TRUE(h1.endsWithin(kWaitMs));
    ::close(c1);

    int c2 = l.accept();
    ScriptedHost h2(c2);
    ASSERT_TRUE(h2.acceptHandshake(hs));
    ASSERT_TRUE(h2.ask(0xB0, count));
    EXPECT_EQ(le16(count.data, 0), 2); // the broken transfer handed nothing over
    for (int m = 0; m < 2; ++m) {
        ASSERT_EQ(h2.command(0xB1), ACK);
        for (int f = 0; f < 2; ++f) {
            ASSERT_TRUE(h2.readFrame(frame));
            h2.ack();
        }
    }
    EXPECT_EQ(h2.command(0x91, {0x01}), ACK);
    EXPECT_TRUE(h2.endsWithin(kWaitMs)); // TCP sessions close after the sleep
    device.join();
    ::close(c2);
    EXPECT_EQ(r.result, "ok");
    EXPECT_EQ(r.sessionsStarted, 2u);
    EXPECT_EQ(r.linksDroppedByFault, 1u);
    EXPECT_EQ(r.measurementsHandedOver, 2u);
}

TEST(SimLinks, PtyWaitsForTheHostAndIsReplacedAfterEachSession)
{
    const std::string link = tempPath("lumo-sim-pty");
    std::vector<std::string> announced;
    auto cfg = oneDevice(0, 0, 0);
    cfg.sessions = 2;
    lumosim::SimReport r;
    {
        lumosim::PtyLinkProvider links(link, 1, kWaitMs,
                                       [&](const std::string &p) { announced.push_back(p); });
        lumosim::Simulator sim(cfg);
        std::thread device([&] { r = sim.run(links); });
        JoinOnExit joiner(device, &sim);

        const ino_t first = waitForNewLink(link, 0);
        ASSERT_NE(first, 0u);
        int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        handshakeAndSleep(fd);
        // After the sleep the device is unplugged: the old slave hangs up.
        EXPECT_TRUE(ScriptedHost(fd).endsWithin(kWaitMs));
        ::close(fd);

        ASSERT_NE(waitForNewLink(link, first), 0u);
        fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        handshakeAndSleep(fd);
        ::close(fd);
        device.join();
    }
    EXPECT_EQ(r.result, "ok") << r.error;
    EXPECT_EQ(r.sessionsCompleted, 2u);
    EXPECT_EQ(r.strayBytes, 0u); // the slave was raw from the start: nothing echoed back
    EXPECT_EQ(announced.size(), 2u);
    EXPECT_TRUE(readLink(link).empty()); // the provider removes its link
}

TEST(SimLinks, PtyNobodyOpeningIsAFailureAfterTheTimeout)
{
    auto cfg = oneDevice();
    lumosim::PtyLinkProvider links("", 0, 200, nullptr);
    lumosim::Simulator sim(cfg);
    const auto r = sim.run(links);
    EXPECT_EQ(r.result, "failed");
    EXPECT_NE(r.error.find("nobody opened"), std::string::npos) << r.error;
}

TEST(SimLinks, StopEndsAWaitingRunPromptly)
{
    auto cfg = oneDevice();
    lumosim::PtyLinkProvider links("", 0, 60000, nullptr);
    lumosim::Simulator sim(cfg);
    lumosim::SimReport r;
    std::thread device([&] { r = sim.run(links); });
    JoinOnExit joiner(device, &sim);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto before = std::chrono::steady_clock::now();
    sim.stop();
    device.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(kWaitMs));
    EXPECT_EQ(r.result, "stopped");
}

TEST(SimOptions, CommandLinesThatWork)
{
    lumosim::Options o;
    std::string error;
    ASSERT_TRUE(lumosim::parseOptions(
        {"--tcp", "127.0.0.1:5000", "--devices", "3", "--measurements", "4", "--din", "0x10",
         "--crc", "0xBEEF", "--clock", "2030-12-31T23:59:58", "--sessions", "7", "--nak", "2"},
        o, error))
        << error;
    EXPECT_EQ(o.link, lumosim::LinkKind::Tcp);
    EXPECT_EQ(o.host, "127.0.0.1");
    EXPECT_EQ(o.port, 5000);
    ASSERT_EQ(o.config.devices.size(), 3u);
    EXPECT_EQ(o.config.devices[2].din, 18u);
    EXPECT_EQ(o.config.devices[1].measurements, 4u);
    EXPECT_EQ(o.config.devices[0].paramCrc, 0xBEEF);
    EXPECT_EQ(o.config.devices[0].params[92], 0xEF); // the block carries the same CRC
    EXPECT_EQ(o.config.devices[0].clock.second, 58);
    EXPECT_EQ(o.config.sessions, 7u);
    EXPECT_EQ(o.config.faults.nakHostFrame, 2u);

    lumosim::Options p;
    ASSERT_TRUE(lumosim::parseOptions(
        {"--pty", "--link", "/tmp/x", "--replug-after", "2", "--bus-quiet", "0"}, p, error));
    EXPECT_EQ(p.symlinkPath, "/tmp/x");
    EXPECT_EQ(p.replugAfter, 2u);
    EXPECT_EQ(p.config.timeouts.busQuietMs, 0);

    lumosim::Options q;
    ASSERT_TRUE(lumosim::parseOptions({"--pty", "--blocks", "300", "--samples-per-block", "4000",
                                       "--device-per-session", "--repeat-frame", "9",
                                       "--faulty-retrieval", "2", "--repeat-block", "3",
                                       "--swap-first-blocks", "--last-block-first",
                                       "--extra-samples", "7", "--withhold-blocks", "1"},
                                      q, error))
        << error;
    const lumosim::FaultConfig &f = q.config.faults;
    EXPECT_EQ(q.config.devices[0].blocks * q.config.devices[0].samplesPerBlock, 1200000u);
    EXPECT_TRUE(q.config.devicePerSession && f.swapFirstBlocks && f.lastBlockFirst);
    EXPECT_EQ(std::vector<uint64_t>({f.repeatFrame, f.faultyRetrieval, f.repeatBlock,
                                     f.headerExtraSamples, f.withheldBlocks}),
              std::vector<uint64_t>({9, 2, 3, 7, 1}));

    lumosim::Options fleet;
    ASSERT_TRUE(lumosim::parseOptions({"--tcp", "h:1", "--fleet", "1000", "--rtt", "100",
                                       "--ramp-ms", "5000", "--din", "4294966296"},
                                      fleet, error))
        << error;
    EXPECT_EQ(std::vector<uint64_t>({fleet.fleet, fleet.config.frameDelayMs, fleet.rampMs,
                                     fleet.config.devices.size()}),
              std::vector<uint64_t>({1000, 100, 5000, 1}));
}

TEST(SimOptions, CommandLinesThatAreRefused)
{
    const std::vector<std::vector<std::string>> bad = {
        {},                                                           // no link
        {"--tcp", "127.0.0.1:5000", "--pty"},                         // two links
        {"--tcp", "127.0.0.1"},                                       // no port
        {"--tcp", "127.0.0.1:0"},                                     // port 0
        {"--tcp", "127.0.0.1:65536"},                                 // port too big
        {"--pty", "--devices"},                                       // value missing
        {"--pty", "--devices", "0"},                                  // no device
        {"--pty", "--devices", "-1"},                                 // negative
        {"--pty", "--blocks", "65536"},                               // totBlocks has 16 bits
        {"--pty", "--samples-per-block", "32767"},                    // beyond one frame
        {"--pty", "--blocks", "600", "--samples-per-block", "30000"}, // 18 M samples
        {"--pty", "--withhold-blocks", "5"},                          // more than the 4 blocks
        {"--pty", "--repeat-block", "5"},                             // no block 5
        {"--pty", "--clock", "2024-02-30T00:00:00"},                  // no such day
        {"--pty", "--clock", "1999-01-01T00:00:00"},                  // before 2000
        {"--pty", "--crc", "0x10000"},                                // 17 bits
        {"--pty", "--din", "4294967295", "--devices", "2"},           // DIN overflow
        {"--tcp", "h:1", "--link", "/tmp/x"},                         // --link without --pty
        {"--pty", "--bus-quiet", "-1"},                               // negative quiet window
        {"--pty", "--bus-quiet", "2147483648"},                       // beyond a time-out's range
        {"--pty", "--frobnicate"},                                    // unknown
        {"--pty", "--fleet", "2"},                                    // a fleet needs TCP
        {"--tcp", "h:1", "--fleet", "2", "--devices", "2"},           // one device per link
        {"--tcp", "h:1", "--fleet", "100001"},                        // too many
        {"--tcp", "h:1", "--fleet", "2", "--din", "4294967295"},      // DIN overflow
        {"--tcp", "h:1", "--ramp-ms", "10"},                          // a ramp without a fleet
    };
    for (const auto &args : bad) {
        lumosim::Options o;
        std::string error;
        std::string joined;
        for (const auto &a : args)
            joined += a + " ";
        EXPECT_FALSE(lumosim::parseOptions(args, o, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

#ifdef LUMO_SIM_BINARY
namespace {

// Runs a shell command line; its output (stdout and stderr) and exit status.
std::string runProgram(const std::string &args, int &status)
{
    std::string cmd = std::string(LUMO_SIM_BINARY) + " " + args + " 2>&1";
    FILE *p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = p ? ::pclose(p) : -1;
    status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

} // namespace

TEST(SimProgram, HelpAndUsageErrors)
{
    int status = -1;
    std::string out = runProgram("--help", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("lumo-sim --tcp 127.0.0.1:5000 --devices 3 --measurements 4"),
              std::string::npos);
    EXPECT_NE(out.find("--pty --link /tmp/lumo-tty"), std::string::npos);
    EXPECT_NE(out.find("--bus-quiet MS"), std::string::npos);
    out = runProgram("--tcp nowhere", status);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("--tcp wants HOST:PORT"), std::string::npos) << out;
}

TEST(SimProgram, ConnectFailureExitsNonZeroWithTheReason)
{
    int port = Listener(false).port;
    int status = -1;
    std::string out =
        runProgram("--tcp 127.0.0.1:" + std::to_string(port) + " --connect-timeout 100", status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("lumo-sim: cannot connect"), std::string::npos) << out;
    EXPECT_NE(out.find("\"result\":\"failed\""), std::string::npos) << out;
}

TEST(SimProgram, ADeviceSentToSleepWithMeasurementsExitsWith3)
{
    for (const char *stored : {"0", "2"}) {
        SCOPED_TRACE(stored);
        Listener l;
        int status = -1;
        std::string out;
        std::thread program([&] {
            out = runProgram("--tcp 127.0.0.1:" + std::to_string(l.port) +
                                 " --din 1234 --measurements " + stored,
                             status);
        });
        JoinOnExit joiner(program);
        int c = l.accept();
        ASSERT_GE(c, 0);
        handshakeAndSleep(c);
        program.join();
        ::close(c);
        const bool left = std::string(stored) != "0";
        EXPECT_EQ(status, left ? 3 : 0) << out;
        EXPECT_EQ(out.find("lumo-sim: device 000-001-234 still held measurements at the end of 1 "
                           "session(s): 2 stored, 0 handed over, 2 left") != std::string::npos,
                  left)
            << out;
    }
}

TEST(SimProgram, OneTcpSessionWritesItsReport)
{
    Listener l;
    const std::string report = tempPath("lumo-sim-report.json");
    int status = -1;
    std::string out;
    std::thread program([&] {
        out = runProgram("--tcp 127.0.0.1:" + std::to_string(l.port) +
                             " --din 1234 --measurements 0 --report " + report,
                         status);
    });
    JoinOnExit joiner(program);
    int c = l.accept();
    ASSERT_GE(c, 0);
    handshakeAndSleep(c);
    program.join();
    ::close(c);
    EXPECT_EQ(status, 0) << out;
    std::ifstream in(report);
    std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(report.c_str());
    EXPECT_NE(json.find("\"dinText\":\"000-001-234\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"sleepsReceived\":1"), std::string::npos) << json;
    EXPECT_NE(json.find("\"framesReceived\":{\"0x01\":1,\"0x91\":1}"), std::string::npos) << json;
}
#endif
