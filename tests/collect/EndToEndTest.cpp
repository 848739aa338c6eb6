// lumo-collect against lumo-sim, both as processes over loopback TCP (and a serial
// pseudo-terminal): what the simulated devices hold must land in SQLite sample for
// sample, parameters must reach them byte for byte, and a run must end cleanly however
// it is ended.
#include "CollectTestSupport.h"
#include "ProcessRunner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <functional>

#if defined(LUMO_COLLECT_PATH) && defined(LUMO_SIM_PATH)

using namespace collect_test;
using namespace std::chrono_literals;

namespace {

// Generous bounds: a loaded two-core machine must never make these flake.
constexpr auto kStartBound = 30s;
constexpr auto kRunBound = 120s;

// The simulator's defaults: first DIN 123456001 (seed = DIN, +1 per device), clock
// 2024-05-17 13:45:30, 3 measurements of 4 blocks of 200 samples.
constexpr uint32_t kFirstDin = 123456001;

// Its documented waveforms, written out independently here: measurement m, sample i.
uint16_t expectedSample(uint32_t seed, uint32_t m, uint32_t i)
{
    if (m % 2 == 0) {
        const double phase = (seed + m) % 64;
        return static_cast<uint16_t>(32768 +
                                     std::lround(16000 * std::sin(2 * M_PI * (i + phase) / 64)));
    }
    return static_cast<uint16_t>((seed + 1000u * m + i) % 65536u);
}

std::string expectedHex(uint32_t seed, uint32_t m, uint32_t count)
{
    std::string hex;
    char four[5];
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t v = expectedSample(seed, m, i);
        std::snprintf(four, sizeof four, "%02X%02X", v & 0xFF, v >> 8); // little-endian
        hex += four;
    }
    return hex;
}

QJsonObject readReport(const std::string &path)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(slurp(path))).object();
}

QJsonObject deviceReport(const QJsonObject &report, const std::string &dinText)
{
    for (const auto &d : report["devices"].toArray())
        if (d.toObject()["dinText"].toString().toStdString() == dinText)
            return d.toObject();
    ADD_FAILURE() << "no report for " << dinText;
    return {};
}

class EndToEnd : public ::testing::Test {
protected:
    std::string db() const { return db_.empty() ? dir_.file("run.db") : db_; }

    // Starts lumo-collect on a free port and waits until it listens.
    std::unique_ptr<Process> startCollect(std::vector<std::string> args, const std::string &tag)
    {
        port_ = freePort();
        args.insert(args.begin(), {"--tcp", std::to_string(port_), "--db", db(), "--no-status"});
        auto p = std::make_unique<Process>(LUMO_COLLECT_PATH, args, dir_.file(tag + ".out"),
                                           dir_.file(tag + ".err"));
        EXPECT_TRUE(waitFor(
            [&] {
                return p->err().find("listening on TCP port") != std::string::npos || !p->running();
            },
            kStartBound))
            << p->err();
        return p;
    }

    // Plays the simulator against the collector; returns its report.
    // expectStatus < 0: whatever the simulator says about how its link ended.
    QJsonObject runSim(std::vector<std::string> args, const std::string &tag, int expectStatus = 0)
    {
        const std::string report = dir_.file(tag + ".json");
        args.insert(args.begin(),
                    {"--tcp", "127.0.0.1:" + std::to_string(port_), "--report", report});
        Process sim(LUMO_SIM_PATH, args, dir_.file(tag + ".sim.out"), dir_.file(tag + ".sim.err"));
        const int status = sim.wait(kRunBound);
        if (expectStatus >= 0) {
            EXPECT_EQ(status, expectStatus) << sim.err();
        }
        return readReport(report);
    }

    // The first `measurements` of a device that held `held` of them.
    void expectStoredAsSimulated(const std::string &din, uint32_t seed, uint32_t measurements,
                                 uint32_t samples, uint32_t held = 0)
    {
        held = held ? held : measurements;
        const auto rows = query(db(), "SELECT measured_at, typeset, ns, nss, sample_count, "
                                      "hex(samples) FROM measurements WHERE din = '" +
                                          din + "' ORDER BY id");
        ASSERT_EQ(rows.size(), measurements) << din;
        for (uint32_t m = 0; m < measurements; ++m) {
            // Ten minutes apart, the last one ten minutes before the clock's 13:45:30.
            const uint32_t minuteOfDay = 13 * 60 + 45 - (held - m) * 10;
            char time[32];
            std::snprintf(time, sizeof time, "2024-05-17 %02u:%02u:30", minuteOfDay / 60,
                          minuteOfDay % 60);
            EXPECT_EQ(rows[m][0], time) << din << " #" << m;
            EXPECT_EQ(rows[m][1], std::to_string(m % 255 + 1));
            EXPECT_EQ(rows[m][2], std::to_string(samples));
            EXPECT_EQ(rows[m][4], std::to_string(samples));
            EXPECT_TRUE(rows[m][5] == expectedHex(seed, m, samples))
                << din << " measurement " << m << " differs from the simulator's samples";
        }
    }

    TempDir dir_;
    std::string db_; // empty: run.db in dir_
    int port_ = 0;
};

} // namespace

TEST_F(EndToEnd, TcpRunStoresWhatTheDevicesHoldAndPlotsIt)
{
    auto collect = startCollect({"--max-devices", "2", "--csv", dir_.file("csv")}, "collect");
    const QJsonObject report = runSim({"--devices", "2"}, "sim");
    EXPECT_EQ(collect->wait(kRunBound), 0) << collect->err();
    EXPECT_EQ(report["result"].toString(), "ok");

    for (uint32_t d = 0; d < 2; ++d) {
        const std::string din = d == 0 ? "123-456-001" : "123-456-002";
        expectStoredAsSimulated(din, kFirstDin + d, 3, 800);
        const QJsonObject dev = deviceReport(report, din);
        EXPECT_EQ(dev["measurementsHandedOver"].toInt(), 3);
        EXPECT_EQ(dev["sleepsReceived"].toInt(), 1) << "the default plan ends with SLEEP";
        EXPECT_EQ(dev["paramsWritten"].toArray().size(), 0) << "no --params: no SYNC";
    }
    EXPECT_EQ(scalar(db(), "SELECT COUNT(*) FROM devices"), "2");
    EXPECT_NE(collect->err().find("6 measurement(s), 4800 sample(s)"), std::string::npos)
        << collect->err();
    EXPECT_EQ(collect->err().find("lumo info: "), std::string::npos) << "quiet by default";
    const std::string samplesCsv = slurp(dir_.file("csv/samples.csv"));
    EXPECT_EQ(std::count(samplesCsv.begin(), samplesCsv.end(), '\n'), 4801) << "header + 4800";

    const std::string svg = dir_.file("m.svg");
    Process plot(LUMO_COLLECT_PATH,
                 {"plot", "--db", db(), "--din", "123-456-002", "--index", "2", "-o", svg},
                 dir_.file("plot.out"), dir_.file("plot.err"));
    ASSERT_EQ(plot.wait(kRunBound), 0) << plot.err();
    EXPECT_EQ(readSvg(slurp(svg)).points.size(), 800u);
    EXPECT_NE(slurp(svg).find("DIN 123-456-002"), std::string::npos);
}

// Devices on connections of their own, each a simulator process, served one connection
// after the other: every measurement they hold lands once.
TEST_F(EndToEnd, DevicesServedOneConnectionAtATime)
{
    constexpr uint32_t kDevices = 3;
    auto collect =
        startCollect({"--max-devices", std::to_string(kDevices), "--max-connections", "1"}, "c");
    std::vector<std::unique_ptr<Process>> sims;
    for (uint32_t d = 0; d < kDevices; ++d) {
        // Slow answers keep the sessions open long enough to overlap; a device waiting for
        // its turn keeps trying to connect and waits for the host's answer.
        sims.push_back(std::make_unique<Process>(
            LUMO_SIM_PATH,
            std::vector<std::string>{"--tcp", "127.0.0.1:" + std::to_string(port_), "--din",
                                     std::to_string(kFirstDin + d), "--delay", "40",
                                     "--connect-timeout", "100000", "--handshake-timeout",
                                     "100000"},
            dir_.file(std::to_string(d) + ".out"), dir_.file(std::to_string(d) + ".err")));
    }
    for (auto &sim : sims)
        EXPECT_EQ(sim->wait(kRunBound), 0) << sim->err();
    EXPECT_EQ(collect->wait(kRunBound), 0) << collect->err();
    for (uint32_t d = 0; d < kDevices; ++d)
        expectStoredAsSimulated("123-456-00" + std::to_string(d + 1), kFirstDin + d, 3, 800);
    EXPECT_NE(collect->err().find("at most 1 connection(s) at once"), std::string::npos)
        << collect->err();
}

TEST_F(EndToEnd, ParametersReachTheDeviceByteForByte)
{
    const std::string params = dir_.file("params.json");
    std::ofstream(params) << R"({"param16a": [1, 2, 3, 4, 43981], "param32a": "0x11223344",
      "param32b": 5, "param16b": "0xbeef", "param32c": 3735928559,
      "param16c": [10, 11, 12, 13, 14, 15], "param32d": ["0x01020304", 0, 0, 0, 0, 4294967295],
      "crc16": "0x5A5A"})";
    // The 94-byte parameter block on the wire, by hand: little-endian fields packed
    // without gaps, 32 zero bytes where the record's reserved part is, the CRC last.
    const std::string wire = "0100020003000400cdab"
                             "44332211"
                             "05000000"
                             "efbe"
                             "efbeadde"
                             "0a000b000c000d000e000f00"
                             "04030201000000000000000000000000"
                             "00000000ffffffff" +
                             std::string(64, '0') + "5a5a";

    auto collect = startCollect({"--max-devices", "1", "--params", params}, "differ");
    const QJsonObject report = runSim({"--crc", "0x1234"}, "differ");
    EXPECT_EQ(collect->wait(kRunBound), 0) << collect->err();
    const QJsonObject dev = deviceReport(report, "123-456-001");
    ASSERT_EQ(dev["paramsWritten"].toArray().size(), 1);
    EXPECT_EQ(dev["paramsWritten"].toArray()[0].toString().toLower().toStdString(), wire);
    ASSERT_EQ(dev["dateTimesWritten"].toArray().size(), 1) << "the clock is set with them";
    EXPECT_EQ(dev["dateTimesWritten"].toArray()[0].toString().size(), 14);
    EXPECT_EQ(dev["measurementsHandedOver"].toInt(), 3) << "SYNC, then the transfer";

    const auto rows =
        query(db(), "SELECT ok, params_written, host_crc16, status32a FROM syncs ORDER BY id");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0] + rows[0][1] + " " + rows[0][2], "11 23130");
    EXPECT_EQ(rows[0][3], "123456001") << "status32a as the simulator derives it from the DIN";
}

TEST_F(EndToEnd, InterruptDuringTransferKeepsEveryReceivedMeasurement)
{
    auto collect = startCollect({"-v"}, "collect");
    const std::string report = dir_.file("sim.json");
    // 40 measurements, each answer frame delayed: the transfer takes several seconds.
    Process sim(LUMO_SIM_PATH,
                {"--tcp", "127.0.0.1:" + std::to_string(port_), "--measurements", "40", "--delay",
                 "50", "--report", report},
                dir_.file("sim.out"), dir_.file("sim.err"));
    ASSERT_TRUE(waitFor(
        [&] { return std::stoi("0" + scalar(db(), "SELECT COUNT(*) FROM measurements")) >= 3; },
        kRunBound));
    collect->signal(SIGINT);
    EXPECT_EQ(collect->wait(kRunBound), 0) << collect->err();
    EXPECT_NE(collect->err().find("stopping: interrupted"), std::string::npos) << collect->err();
    // -v shows the library's conversation, but not yet its buffer traces.
    EXPECT_NE(collect->err().find("lumo info: "), std::string::npos);
    EXPECT_EQ(collect->err().find("lumo debug: "), std::string::npos);
    sim.wait(kRunBound); // the link closed under it: its status says so, its report counts

    EXPECT_EQ(scalar(db(), "PRAGMA integrity_check"), "ok");
    const int stored = std::stoi(scalar(db(), "SELECT COUNT(*) FROM measurements"));
    const int handedOver = readReport(report)["measurementsHandedOver"].toInt();
    EXPECT_LT(stored, 40) << "the run was meant to be cut short";
    // The device counts a measurement once the host acknowledged its last block; the
    // host stores it right after, so at most the one in flight may be ahead of the count.
    EXPECT_GE(stored, handedOver);
    EXPECT_LE(stored, handedOver + 1);
    expectStoredAsSimulated("123-456-001", kFirstDin, static_cast<uint32_t>(stored), 800, 40);
}

// 255 blocks of 255 samples: the most a measurement can carry block by block.
TEST_F(EndToEnd, LargestMeasurementOverASerialPseudoTerminal)
{
    const std::string link = dir_.file("tty");
    const std::string report = dir_.file("pty.json");
    Process sim(LUMO_SIM_PATH,
                {"--pty", "--link", link, "--report", report, "--measurements", "1", "--blocks",
                 "255", "--samples-per-block", "255"},
                dir_.file("sim.out"), dir_.file("sim.err"));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(link); }, kStartBound)) << sim.err();
    Process collect(LUMO_COLLECT_PATH,
                    {"--serial", link, "--db", db(), "--max-devices", "1", "--no-status"},
                    dir_.file("c.out"), dir_.file("c.err"));
    EXPECT_EQ(collect.wait(kRunBound), 0) << collect.err();
    EXPECT_EQ(sim.wait(kRunBound), 0) << sim.err();
    expectStoredAsSimulated("123-456-001", kFirstDin, 1, 65025);
}

// The database is locked in the middle of a transfer: the measurement that could not be
// stored stays on the device, nothing is asked of devices until a probe write succeeds,
// and the device's next session brings it (the simulator, started again, holds all of them
// again: those already stored come as repeats). A full or read-only store takes the same
// path: ControllerTest.StorageFailureRefusesAndPausesTransfersUntilItWorksAgain.
TEST_F(EndToEnd, StorageFailureLeavesTheMeasurementsOnTheDevice)
{
    constexpr int kHeld = 5;
    auto collect = startCollect({}, "collect");
    const std::string report = dir_.file("sim.json");
    Process sim(LUMO_SIM_PATH,
                {"--tcp", "127.0.0.1:" + std::to_string(port_), "--measurements",
                 std::to_string(kHeld), "--delay", "200", "--report", report},
                dir_.file("sim.out"), dir_.file("sim.err"));
    ASSERT_TRUE(waitFor([&] { return scalar(db(), "SELECT COUNT(*) FROM measurements") != "0"; },
                        kRunBound));
    sqlite3 *locker = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &locker), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    sim.wait(kRunBound); // its host stopped acknowledging: it may call that a failure
    EXPECT_NE(collect->err().find("STORAGE FAILED"), std::string::npos) << collect->err();
    sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(locker);
    const int stored = std::stoi(scalar(db(), "SELECT COUNT(*) FROM measurements"));
    const QJsonObject dev = deviceReport(readReport(report), "123-456-001");
    EXPECT_LT(stored, kHeld);
    EXPECT_EQ(dev["measurementsHandedOver"].toInt(), stored)
        << "a measurement the host refused must stay on the device";
    EXPECT_EQ(dev["measurementsRemaining"].toInt(), kHeld - stored);

    // The probe runs every 5 s (not a setting of the tool): this wait cannot be shortened.
    EXPECT_TRUE(waitFor(
        [&] { return collect->err().find("storage works again") != std::string::npos; }, kRunBound))
        << collect->err();
    runSim({"--measurements", std::to_string(kHeld)}, "again");
    collect->signal(SIGINT);
    EXPECT_EQ(collect->wait(kRunBound), 1) << "measurements were refused";
    EXPECT_NE(collect->err().find(std::to_string(stored) + " repeated measurement(s)"),
              std::string::npos)
        << collect->err();
    expectStoredAsSimulated("123-456-001", kFirstDin, kHeld, 800);
}

// Every way a run or a plot cannot start: a message, a status, and no database changed.
TEST_F(EndToEnd, BadInputAndDatabasesItMustNotChangeGiveAMessageAndAStatus)
{
    // A port that is taken: the test listens on it.
    const int busyPort = freePort();
    const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(busyPort));
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    // A database of the first layout, in rollback-journal mode: plot must read it as it is.
    const std::string old = dir_.file("old.db");
    ASSERT_TRUE(execSql(old, std::string(kFirstLayoutDdl) +
                                 "INSERT INTO measurements VALUES (1, '000-000-001', 'r', "
                                 "'2024-05-17 13:45:30', 1, 1, 2, 1, 2, x'01000200');"));
    const std::string newer = dir_.file("newer.db");
    ASSERT_TRUE(execSql(newer, std::string(kFirstLayoutDdl) + "PRAGMA user_version = 7;"));
    std::filesystem::create_symlink(old, dir_.file("link.svg"));
    const std::string oldBytes = slurp(old);
    const std::string newerBytes = slurp(newer);

    const std::string port = std::to_string(freePort());
    const std::string busyText = std::to_string(busyPort);
    const auto plot = [&](const std::string &db, const std::string &out,
                          const std::string &din = "000-000-001") {
        return std::vector<std::string>{"plot", "--db", db, "--din", din, "-o", out};
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{}, 2, "no channel"},
        {{"--tcp", port, "--params", dir_.file("none.json")}, 2, "cannot read parameter file"},
        {{"--tcp", busyText},
         3,
         "cannot listen on TCP port " + busyText + ": it is in use by another program"},
        {{"--tcp", busyText, "--max-connections", "1"},
         3,
         "cannot listen on TCP port " + busyText + ": "},
        {{"--tcp", port, "--tcp", port}, 2, "the same --tcp port is given twice"},
        {{"--serial", "/dev/lumo-no-such-port"}, 3, "serial device /dev/lumo-no-such-port"},
        {{"--serial", "auto", "--serial", "AUTO"}, 2, "the same --serial port is given twice"},
        {{"--serial", LUMO_SIM_PATH}, 3, "not a character device"},
        {{"--serial", "/dev/null"}, 3, "serial device /dev/null is not a terminal device"},
        {{"--tcp", port, "--db", dir_.file("no/such/dir/x.db")}, 3, "cannot open database"},
        {plot(dir_.file("missing.db"), "x.svg"), 3, "cannot open database"},
        {plot(old, dir_.file("x.svg"), "000-000-002"), 1, "no measurement -1 for DIN 000-000-002"},
        {plot(old, old), 2, "refusing to write the picture over the database"},
        {plot(old, dir_.file("link.svg")), 2, "refusing to write the picture over the database"},
        {plot(old, newer), 2, "it is an SQLite database"},
        {plot(newer, dir_.file("n.svg")), 3, "schema version 7"},
        {{"--tcp", port, "--db", newer}, 3, "schema version 7"},
        {plot(old, dir_.file("ok.svg")), 0, ""},
    };
    for (const Case &c : cases) {
        Process p(LUMO_COLLECT_PATH, c.args, dir_.file("p.out"), dir_.file("p.err"));
        EXPECT_EQ(p.wait(kRunBound), c.status) << c.message;
        EXPECT_NE(p.err().find(c.message), std::string::npos) << "stderr: " << p.err();
    }
    ::close(busy);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("missing.db")));
    EXPECT_EQ(slurp(old), oldBytes) << "plot changed the database";
    EXPECT_EQ(slurp(newer), newerBytes);
    EXPECT_FALSE(std::filesystem::exists(old + "-wal"));
    EXPECT_EQ(readSvg(slurp(dir_.file("ok.svg"))).points.size(), 2u);

    // Read-only for root too: a read-only file system, which SQLite would quietly read.
    PrivateMount mount(dir_.file("ro"), "1m");
    if (!mount.ok())
        GTEST_SKIP() << mount.why();
    std::filesystem::copy_file(old, dir_.file("ro/old.db"));
    ASSERT_TRUE(mount.makeReadOnly()) << std::strerror(errno);
    Process ro(LUMO_COLLECT_PATH, {"--tcp", port, "--db", dir_.file("ro/old.db")},
               dir_.file("ro.out"), dir_.file("ro.err"));
    EXPECT_EQ(ro.wait(kRunBound), 3);
    EXPECT_NE(ro.err().find("is read-only"), std::string::npos) << ro.err();
}

#endif
