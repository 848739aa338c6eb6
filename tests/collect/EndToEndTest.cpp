// lumo-collect against lumo-sim, both as processes over loopback TCP (and a serial
// pseudo-terminal): what the simulated devices hold must land in SQLite sample for sample.
#include "CollectTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <tuple>

#if defined(LUMO_COLLECT_PATH) && defined(LUMO_SIM_PATH)

using namespace collect_test;
using namespace std::chrono_literals;

namespace {

constexpr auto kBound = 120s; // generous: a loaded two-core machine must never flake

// The simulator's defaults: first DIN 123456001 (seed = DIN, +1 per device), clock
// 2024-05-17 13:45:30, 3 measurements of 4 blocks of 200 samples.
constexpr uint32_t kFirstDin = 123456001;

// Its documented waveforms, written out independently: measurement m, sample i, as stored.
std::string expectedHex(uint32_t seed, uint32_t m, uint32_t count)
{
    std::string hex;
    char four[5];
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t v =
            m % 2 == 0
                ? uint16_t(32768 +
                           std::lround(16000 * std::sin(2 * M_PI * (i + (seed + m) % 64) / 64)))
                : uint16_t((seed + 1000u * m + i) % 65536u);
        std::snprintf(four, sizeof four, "%02x%02x", v & 0xFF, v >> 8);
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
    std::string db() const { return dir_.file("run.db"); }
    std::string port() const { return "127.0.0.1:" + std::to_string(port_); }
    int count() { return std::stoi("0" + scalar(db(), "SELECT COUNT(*) FROM measurements")); }

    // Starts lumo-collect on a free port and waits until it listens.
    std::unique_ptr<Process> startCollect(std::vector<std::string> args)
    {
        port_ = freePort();
        args.insert(args.begin(), {"--tcp", std::to_string(port_), "--db", db(), "--no-status"});
        auto p = std::make_unique<Process>(LUMO_COLLECT_PATH, args, dir_.file("collect"));
        EXPECT_TRUE(waitFor(
            [&] { return p->err().find("listening on TCP") != std::string::npos || !p->running(); },
            kBound))
            << p->err();
        return p;
    }

    std::unique_ptr<Process> startSim(std::vector<std::string> args, const std::string &tag)
    {
        args.insert(args.begin(), {"--tcp", port(), "--report", dir_.file(tag + ".json")});
        return std::make_unique<Process>(LUMO_SIM_PATH, args, dir_.file(tag));
    }

    // The first `measurements` of a device that held `held` of them, ten minutes apart, the
    // last one ten minutes before the clock's 13:45:30.
    void expectStoredAsSimulated(const std::string &din, uint32_t seed, uint32_t measurements,
                                 uint32_t samples, uint32_t held = 0)
    {
        held = held ? held : measurements;
        const auto rows = query(db(), "SELECT measured_at, typeset, ns, sample_count, samples "
                                      "FROM measurements WHERE din = '" +
                                          din + "' ORDER BY id");
        ASSERT_EQ(rows.size(), measurements) << din;
        for (uint32_t m = 0; m < measurements; ++m) {
            const uint32_t minute = 13 * 60 + 45 - (held - m) * 10;
            char time[32];
            std::snprintf(time, sizeof time, "2024-05-17 %02u:%02u:30", minute / 60, minute % 60);
            const std::string n = std::to_string(samples);
            EXPECT_EQ(rows[m][0] + " " + rows[m][1] + " " + rows[m][2] + " " + rows[m][3],
                      std::string(time) + " " + std::to_string(m % 255 + 1) + " " + n + " " + n);
            EXPECT_TRUE(rows[m][4] == expectedHex(seed, m, samples)) << din << " #" << m;
        }
    }

    TempDir dir_;
    int port_ = 0;
};

} // namespace

// Two devices over TCP: the parameters reach each byte for byte, then everything they hold
// lands in the database sample for sample.
TEST_F(EndToEnd, TcpRunSyncsAndStoresWhatTheDevicesHold)
{
    const std::string params = dir_.file("params.json");
    std::ofstream(params) << kParamsJson;
    // The 94-byte block on the wire: little-endian fields packed without gaps, 32 zero bytes
    // for the record's reserved part, the CRC last.
    const std::string wire = "0100020003000400cdab4433221105000000efbeefbeadde0a000b000c000d000e000"
                             "f000403020100000000000000000000000000000000ffffffff" +
                             std::string(64, '0') + "5a5a";
    auto collect = startCollect({"--max-devices", "2", "--params", params});
    auto sim = startSim({"--devices", "2", "--crc", "0x1234"}, "sim");
    EXPECT_EQ(sim->wait(kBound), 0) << sim->err();
    EXPECT_EQ(collect->wait(kBound), 0) << collect->err();
    const QJsonObject report = readReport(dir_.file("sim.json"));
    EXPECT_EQ(report["result"].toString(), "ok");
    for (uint32_t d = 0; d < 2; ++d) {
        const std::string din = "123-456-00" + std::to_string(d + 1);
        expectStoredAsSimulated(din, kFirstDin + d, 3, 800);
        const QJsonObject dev = deviceReport(report, din);
        EXPECT_EQ(dev["measurementsHandedOver"].toInt(), 3);
        EXPECT_EQ(dev["sleepsReceived"].toInt(), 1) << "the default plan ends with SLEEP";
        ASSERT_EQ(dev["paramsWritten"].toArray().size(), 1);
        EXPECT_EQ(dev["paramsWritten"].toArray()[0].toString().toLower().toStdString(), wire);
        ASSERT_EQ(dev["dateTimesWritten"].toArray().size(), 1) << "the clock is set with them";
        EXPECT_EQ(dev["dateTimesWritten"].toArray()[0].toString().size(), 14);
        EXPECT_EQ(query(db(), "SELECT ok, params_written, host_crc16, status32a FROM syncs "
                              "WHERE din = '" +
                                  din + "'"),
                  (std::vector<std::vector<std::string>>{
                      {"1", "1", "23130", std::to_string(kFirstDin + d)}}));
    }
    EXPECT_NE(collect->err().find("6 measurement(s), 4800 sample(s)"), std::string::npos)
        << collect->err();
}

TEST_F(EndToEnd, InterruptDuringTransferKeepsEveryReceivedMeasurement)
{
    auto collect = startCollect({});
    auto sim = startSim({"--measurements", "40", "--delay", "50"}, "sim");
    ASSERT_TRUE(waitFor([&] { return count() >= 3; }, kBound));
    collect->signal(SIGINT);
    EXPECT_EQ(collect->wait(kBound), 0) << collect->err();
    EXPECT_NE(collect->err().find("stopping: interrupted"), std::string::npos) << collect->err();
    sim->wait(kBound); // the link closed under it: its status says so, its report counts

    EXPECT_EQ(scalar(db(), "PRAGMA integrity_check"), "ok");
    const int stored = count();
    const int handedOver = readReport(dir_.file("sim.json"))["measurementsHandedOver"].toInt();
    EXPECT_LT(stored, 40) << "the run was meant to be cut short";
    // The device counts a measurement once the host acknowledged its last block; the host
    // stores it right after, so at most the one in flight may be ahead of the count.
    EXPECT_GE(stored, handedOver);
    EXPECT_LE(stored, handedOver + 1);
    expectStoredAsSimulated("123-456-001", kFirstDin, static_cast<uint32_t>(stored), 800, 40);
}

// 255 blocks of 255 samples: the most a measurement can carry block by block.
TEST_F(EndToEnd, LargestMeasurementOverASerialPseudoTerminal)
{
    const std::string link = dir_.file("tty");
    Process sim(LUMO_SIM_PATH,
                {"--pty", "--link", link, "--measurements", "1", "--blocks", "255",
                 "--samples-per-block", "255"},
                dir_.file("sim"));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(link); }, kBound)) << sim.err();
    Process collect(LUMO_COLLECT_PATH,
                    {"--serial", link, "--db", db(), "--max-devices", "1", "--no-status"},
                    dir_.file("c"));
    EXPECT_EQ(collect.wait(kBound), 0) << collect.err();
    EXPECT_EQ(sim.wait(kBound), 0) << sim.err();
    expectStoredAsSimulated("123-456-001", kFirstDin, 1, 65025);
}

// The database is locked mid-transfer: the refused measurement stays on the device, and its
// next session (the simulator again, holding all of them: the stored ones are repeats)
// brings it once a probe write succeeds.
TEST_F(EndToEnd, StorageFailureLeavesTheMeasurementsOnTheDevice)
{
    constexpr int kHeld = 5;
    auto collect = startCollect({});
    auto sim = startSim({"--measurements", std::to_string(kHeld), "--delay", "200"}, "sim");
    ASSERT_TRUE(waitFor([&] { return count() > 0; }, kBound));
    sqlite3 *locker = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &locker), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    sim->wait(kBound); // its host stopped acknowledging: it may call that a failure
    sqlite3_close_v2(locker);
    const int stored = count();
    const QJsonObject dev = deviceReport(readReport(dir_.file("sim.json")), "123-456-001");
    EXPECT_LT(stored, kHeld);
    EXPECT_EQ(dev["measurementsHandedOver"].toInt(), stored) << "a refused one stays";
    EXPECT_EQ(dev["measurementsRemaining"].toInt(), kHeld - stored);

    // The probe runs every 5 s (not a setting of the tool): this wait cannot be shortened.
    EXPECT_TRUE(waitFor(
        [&] { return collect->err().find("storage works again") != std::string::npos; }, kBound))
        << collect->err();
    startSim({"--measurements", std::to_string(kHeld)}, "again")->wait(kBound);
    collect->signal(SIGINT);
    EXPECT_EQ(collect->wait(kBound), 1) << "measurements were refused";
    expectStoredAsSimulated("123-456-001", kFirstDin, kHeld, 800); // the repeats stored once
}

// Every way a run or a plot cannot start: a message, a status, and no database changed.
TEST_F(EndToEnd, BadInputAndDatabasesItMustNotChangeGiveAMessageAndAStatus)
{
    const int busyPort = freePort(); // the test listens on it
    const int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(busyPort));
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    // A database of the first layout, in rollback-journal mode: plot must read it as it is.
    const std::string old = dir_.file("old.db"), newer = dir_.file("newer.db");
    ASSERT_TRUE(execSql(old, std::string(kFirstLayoutDdl) +
                                 "INSERT INTO measurements VALUES (1, '000-000-001', 'r', "
                                 "'2024-05-17 13:45:30', 1, 1, 2, 1, 2, x'01000200');"));
    ASSERT_TRUE(execSql(newer, std::string(kFirstLayoutDdl) + "PRAGMA user_version = 7;"));
    std::filesystem::create_symlink(old, dir_.file("link.svg"));
    const std::string oldBytes = slurp(old), newerBytes = slurp(newer);

    const std::string port = std::to_string(freePort()), busyText = std::to_string(busyPort);
    const auto plot = [&](const std::string &db, const std::string &out,
                          const std::string &din = "000-000-001") {
        return std::vector<std::string>{"plot", "--db", db, "--din", din, "-o", out};
    };
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"--tcp", busyText}, 3, "cannot listen on TCP port " + busyText + ": it is in use by"},
        {{"--tcp", busyText, "--max-connections", "1"}, 3, "cannot listen on TCP port "},
        {{"--serial", "/dev/lumo-no-such-port"}, 3, "serial device /dev/lumo-no-such-port"},
        {{"--serial", "/dev/null"}, 3, "serial device /dev/null is not a terminal device"},
        {plot(old, dir_.file("x.svg"), "000-000-002"), 1, "no measurement -1 for DIN 000-000-002"},
        {plot(old, old), 2, "refusing to write the picture over the database"},
        {plot(old, dir_.file("link.svg")), 2, "refusing to write the picture over the database"},
        {plot(old, newer), 2, "it is an SQLite database"},
        {plot(newer, dir_.file("n.svg")), 3, "schema version 7"},
        {plot(old, dir_.file("ok.svg")), 0, ""},
    };
    for (const auto &[args, status, message] : cases) {
        Process p(LUMO_COLLECT_PATH, args, dir_.file("p"));
        EXPECT_EQ(p.wait(kBound), status) << message;
        EXPECT_NE(p.err().find(message), std::string::npos) << "stderr: " << p.err();
    }
    ::close(busy);
    EXPECT_EQ(slurp(old), oldBytes) << "plot changed the database";
    EXPECT_EQ(slurp(newer), newerBytes);
    EXPECT_FALSE(std::filesystem::exists(old + "-wal"));
    EXPECT_NE(slurp(dir_.file("ok.svg")).find("<polyline"), std::string::npos);
}

#endif
