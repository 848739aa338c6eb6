// The database: what lands in it, byte for byte, and that nothing received is lost when
// the process dies or a second run starts.
#include "Storage.h"
#include "CollectTestSupport.h"

#include <sys/wait.h>

using namespace lumo_collect;
using namespace collect_test;

namespace {

MeasurementRecord measurement(const std::string &din, std::vector<uint16_t> samples)
{
    MeasurementRecord m;
    m.din = din;
    m.dtimePacked = kPacked20240517;
    m.measuredAt = "2024-05-17 13:45:30";
    m.receivedAt = "2026-01-01T10:00:00.000";
    m.typeset = 7;
    m.ns = static_cast<uint16_t>(samples.size());
    m.nss = 2;
    m.samples = std::move(samples);
    return m;
}

} // namespace

TEST(Storage, MeasurementRowHoldsLittleEndianSamplesAndHeaderFields)
{
    TempDir dir;
    const std::string db = dir.file("m.db");
    std::string error;
    auto storage = Storage::open(db, error);
    ASSERT_TRUE(storage) << error;
    auto m = measurement("000-001-234", {0x0102, 0xFFFF, 0x8000, 0x0000});
    ASSERT_TRUE(storage->storeMeasurement(m)) << storage->lastError();
    EXPECT_GT(m.id, 0);

    const auto rows = query(db, "SELECT id, din, measured_at, dtime_packed, typeset, ns, nss, "
                                "sample_count, samples FROM measurements");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0],
              (std::vector<std::string>{std::to_string(m.id), "000-001-234", "2024-05-17 13:45:30",
                                        "1633868638", "7", "4", "2", "4", "0201ffff00800000"}));
    EXPECT_EQ(scalar(db, "SELECT first_seen FROM devices WHERE din = '000-001-234'"),
              "2026-01-01T10:00:00.000");
    EXPECT_EQ(scalar(db, "PRAGMA journal_mode"), "wal");
}

TEST(Storage, SecondRunAppendsAndLoadCountsFromBothEnds)
{
    TempDir dir;
    const std::string db = dir.file("a.db");
    std::string error;
    {
        auto s = Storage::open(db, error);
        ASSERT_TRUE(s) << error;
        auto a = measurement("000-000-001", {1});
        auto b = measurement("000-000-002", {2, 2});
        ASSERT_TRUE(s->storeMeasurement(a));
        ASSERT_TRUE(s->storeMeasurement(b));
    }
    auto s = Storage::open(db, error, true);
    ASSERT_TRUE(s) << error;
    auto c = measurement("000-000-001", {3, 3, 3});
    ASSERT_TRUE(s->storeMeasurement(c));
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM measurements"), "3");

    MeasurementRecord out;
    ASSERT_TRUE(s->loadMeasurement("000-000-001", 1, out, error)) << error;
    EXPECT_EQ(out.samples, std::vector<uint16_t>{1});
    ASSERT_TRUE(s->loadMeasurement("000-000-001", -1, out, error)) << error;
    EXPECT_EQ(out.samples, (std::vector<uint16_t>{3, 3, 3}));
    EXPECT_EQ(out.typeset, 7u);
    EXPECT_EQ(out.dtimePacked, kPacked20240517);
    ASSERT_TRUE(s->loadMeasurement("000-000-001", -2, out, error)) << error;
    EXPECT_EQ(out.samples, std::vector<uint16_t>{1});
    EXPECT_FALSE(s->loadMeasurement("000-000-001", 3, out, error));
    EXPECT_FALSE(s->loadMeasurement("000-000-009", 1, out, error));
    EXPECT_NE(error.find("000-000-009"), std::string::npos) << error;
    EXPECT_EQ(s->listMeasurements("").size(), 3u);
    EXPECT_EQ(s->listMeasurements("000-000-002").size(), 1u);
}

TEST(Storage, OpeningForReadingDoesNotInventADatabase)
{
    TempDir dir;
    std::string error;
    EXPECT_FALSE(Storage::open(dir.file("missing.db"), error, true));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.db")));
    EXPECT_FALSE(Storage::open(dir.file("no/such/folder/x.db"), error));
}

TEST(Storage, SyncRowsAndTheDevicesLastStatus)
{
    TempDir dir;
    const std::string db = dir.file("s.db");
    std::string error;
    auto s = Storage::open(db, error);
    ASSERT_TRUE(s) << error;

    SyncRecord failed;
    failed.din = "000-001-234";
    failed.at = "t1";
    failed.hostCrc16 = 0x5A5A;
    ASSERT_TRUE(s->storeSync(failed)) << s->lastError();

    SyncRecord ok = failed;
    ok.at = "t2";
    ok.ok = true;
    ok.paramsWritten = true;
    StatusRecord status;
    status.status32a = 0xDEADBEEF;
    status.status32b = 2;
    status.status16a = 3;
    status.deviceTime = 1715953530;
    status.status16b[0] = 10;
    status.status16b[6] = 16;
    ok.status = status;
    ASSERT_TRUE(s->storeSync(ok)) << s->lastError();

    const auto rows = query(db, "SELECT at, ok, params_written, host_crc16, status32a, "
                                "device_time, status16b FROM syncs ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"t1", "0", "0", "23130", "NULL", "NULL", "NULL"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"t2", "1", "1", "23130", "3735928559",
                                                 "1715953530", "[10,0,0,0,0,0,16]"}));
    EXPECT_EQ(scalar(db, "SELECT json_extract(last_status, '$.deviceTime') || ' ' || "
                         "json_extract(last_status, '$.status32a') || ' ' || last_status_at "
                         "FROM devices"),
              "1715953530 3735928559 t2");
}

TEST(Storage, EveryStoredMeasurementSurvivesACrash)
{
    TempDir dir;
    const std::string db = dir.file("crash.db");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto s = Storage::open(db, error);
        for (uint16_t i = 0; s && i < 5; ++i) {
            auto m = measurement("000-000-001", {i, i});
            s->storeMeasurement(m);
        }
        std::abort(); // no destructor, no close: what was committed must be there
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(scalar(db, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) || ' ' || SUM(sample_count) FROM measurements"), "5 10");
    EXPECT_EQ(scalar(db, "SELECT hex(samples) FROM measurements ORDER BY id DESC LIMIT 1"),
              "04000400");
}

TEST(Storage, AFailedInsertLeavesNothingHalfWritten)
{
    TempDir dir;
    const std::string db = dir.file("f.db");
    std::string error;
    auto s = Storage::open(db, error);
    ASSERT_TRUE(s) << error;
    ASSERT_TRUE(execSql(db, "CREATE TRIGGER full BEFORE INSERT ON measurements "
                            "BEGIN SELECT RAISE(ABORT, 'disk full'); END;"));
    auto m = measurement("000-000-042", {1, 2, 3});
    EXPECT_FALSE(s->storeMeasurement(m));
    EXPECT_NE(s->lastError().find("disk full"), std::string::npos) << s->lastError();
    // The device row of the same transaction was rolled back with it.
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM devices"), "0");
    ASSERT_TRUE(execSql(db, "DROP TRIGGER full"));
    EXPECT_TRUE(s->storeMeasurement(m)) << s->lastError();
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM measurements"), "1");
}
