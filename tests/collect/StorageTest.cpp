// The database: what lands in it, byte for byte, and that nothing received is lost.
#include "CollectTestSupport.h"
#include "SqliteStorage.h"

using namespace lumo_collect;
using namespace collect_test;

namespace {

MeasurementRecord measurement(const std::string &din, std::vector<uint16_t> samples)
{
    MeasurementRecord m;
    m.din = din;
    m.dtimePacked = kPacked20240517;
    m.measuredAt = "2024-05-17 13:45:30";
    m.receivedAt = "2026-01-01T10:00:00.000Z";
    m.typeset = 7;
    m.ns = static_cast<uint16_t>(samples.size());
    m.nss = 2;
    m.samples = std::move(samples);
    return m;
}

OpenOptions readOnly()
{
    OpenOptions o;
    o.access = Access::Read;
    return o;
}

} // namespace

TEST(Storage, SecondRunAppendsAndLoadCountsFromBothEnds)
{
    TempDir dir;
    const std::string db = dir.file("m.db");
    std::string error;
    EXPECT_FALSE(SqliteStorage::open(db, readOnly(), error)) << "reading invents no database";
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(db));
    EXPECT_FALSE(SqliteStorage::open(dir.file("no/such/folder/x.db"), OpenOptions{}, error));
    for (const auto &m : {measurement("000-001-234", {0x0102, 0xFFFF, 0x8000, 0}),
                          measurement("000-000-002", {2, 2}), measurement("000-001-234", {3})}) {
        auto s = SqliteStorage::open(db, OpenOptions{}, error); // one run each
        ASSERT_TRUE(s) << error;
        auto copy = m;
        ASSERT_EQ(s->storeMeasurement(copy), StoreOutcome::Stored) << s->lastError();
    }
    EXPECT_EQ(scalar(db, "SELECT group_concat(id || ' ' || hex(samples)) FROM measurements"),
              "1 0201FFFF00800000,2 02000200,3 0300");
    EXPECT_EQ(scalar(db, "SELECT first_seen FROM devices WHERE din = '000-001-234'"),
              "2026-01-01T10:00:00.000Z");
    EXPECT_EQ(scalar(db, "PRAGMA journal_mode"), "wal");

    auto s = SqliteStorage::open(db, readOnly(), error);
    ASSERT_TRUE(s) << error;
    MeasurementRecord out;
    const std::pair<long, std::size_t> found[] = {{3, 0}, {-3, 0}, {1, 4},
                                                  {2, 1}, {-1, 1}, {-2, 4}};
    for (const auto &[index, samples] : found) { // 0: there is none
        EXPECT_EQ(s->loadMeasurement("000-001-234", index, out, error), samples > 0) << index;
        EXPECT_EQ(out.samples.size() * (samples > 0), samples) << index;
    }
    EXPECT_EQ(out.samples, (std::vector<uint16_t>{0x0102, 0xFFFF, 0x8000, 0}));
    EXPECT_EQ(out.typeset, 7u);
    EXPECT_EQ(out.dtimePacked, kPacked20240517);
    EXPECT_FALSE(s->loadMeasurement("000-000-009", 1, out, error));
    EXPECT_NE(error.find("000-000-009"), std::string::npos) << error;
    EXPECT_EQ(s->listMeasurements("").size(), 3u);
    EXPECT_EQ(s->listMeasurements("000-000-002").size(), 1u);
}

TEST(Storage, AMeasurementIsStoredOnceByItsIdentity)
{
    TempDir dir;
    const std::string db = dir.file("id.db");
    std::string error;
    auto s = SqliteStorage::open(db, OpenOptions{}, error);
    ASSERT_TRUE(s) << error;
    auto first = measurement("000-000-001", {1, 2});
    ASSERT_EQ(s->storeMeasurement(first), StoreOutcome::Stored);
    // SHA-256 of the blob 01 00 02 00, computed independently.
    EXPECT_EQ(scalar(db, "SELECT lower(hex(samples_sha256)) FROM measurements"),
              "7b11c1133330cd161071bf23a0c9b6ce5320a8f3a0f83620035a72be46df4104");

    const std::tuple<const char *, void (*)(MeasurementRecord &), StoreOutcome> cases[] = {
        {"the same again", [](MeasurementRecord &) {}, StoreOutcome::Repeat},
        {"received later, other header counts",
         [](MeasurementRecord &m) { m.receivedAt = "later", m.ns = 99, m.nss = 9; },
         StoreOutcome::Repeat},
        {"another device", [](MeasurementRecord &m) { m.din = "000-000-002"; },
         StoreOutcome::Stored},
        {"another time", [](MeasurementRecord &m) { ++m.dtimePacked; }, StoreOutcome::Stored},
        {"another typeset", [](MeasurementRecord &m) { m.typeset = 8; }, StoreOutcome::Stored},
        {"one sample more", [](MeasurementRecord &m) { m.samples.push_back(0); },
         StoreOutcome::Stored},
        {"one sample differs", [](MeasurementRecord &m) { m.samples[1] = 3; },
         StoreOutcome::Stored},
    };
    for (const auto &[what, change, expected] : cases) {
        auto m = measurement("000-000-001", {1, 2});
        change(m);
        EXPECT_EQ(s->storeMeasurement(m), expected) << what << ": " << s->lastError();
        EXPECT_EQ(m.id == first.id, expected == StoreOutcome::Repeat) << what << ": names it";
    }
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM measurements"), "6");
    EXPECT_EQ(
        scalar(db, "SELECT received_at FROM measurements WHERE id = " + std::to_string(first.id)),
        "2026-01-01T10:00:00.000Z")
        << "a repeat changes nothing stored";
}

TEST(Storage, FirstLayoutIsUpgradedInPlaceKeepingEveryMeasurement)
{
    TempDir dir;
    const std::string db = dir.file("old.db");
    const ZoneForTest berlin("Europe/Berlin"); // UTC+1 in January
    // Rows 1 and 4 are the same measurement received twice; 9 was deleted at some point.
    ASSERT_TRUE(execSql(db, std::string(kFirstLayoutDdl) + R"sql(
        PRAGMA journal_mode=WAL;
        INSERT INTO measurements VALUES
          (1, '000-000-001', '2026-01-01T10:00:01.000', 'm', 5, 1, 2, 1, 2, x'01000200'),
          (2, '000-000-001', '2026-01-01T10:00:02.000', 'm', 5, 1, 2, 1, 2, x'01000300'),
          (3, '000-000-002', '2026-01-01T10:00:03.000', 'm', 5, 1, 2, 1, 2, x'01000200'),
          (4, '000-000-001', '2026-01-01T10:00:04.000', 'm', 5, 1, 2, 1, 2, x'01000200'),
          (9, '000-000-003', '2026-01-01T10:00:09.000', 'm', 6, 2, 0, 0, 0, x'');
        DELETE FROM measurements WHERE id = 9;
        INSERT INTO syncs (din, at, ok, params_written)
          VALUES ('000-000-001', '2026-01-02T00:30:00.500', 1, 0);
        INSERT INTO devices VALUES ('000-000-001', '2026-01-01T10:00:00.000',
          '2026-01-02T00:30:00.000', NULL, '{}', '2026-01-02T00:30:00.500');)sql"));

    std::string error;
    OpenReport report;
    auto s = SqliteStorage::open(db, OpenOptions{}, error, &report);
    ASSERT_TRUE(s) << error;
    EXPECT_TRUE(report.upgraded);
    EXPECT_EQ(report.versionFound, 0);
    EXPECT_EQ(report.rowsUpgraded, 3u);
    EXPECT_EQ(report.repeatsMerged, 1u);
    EXPECT_EQ(report.timesConverted, 7u);
    EXPECT_EQ(scalar(db, "PRAGMA user_version"), "3");
    EXPECT_EQ(scalar(db, "SELECT group_concat(id || '|' || received_at || '|' || hex(samples)) "
                         "FROM measurements"),
              "1|2026-01-01T09:00:01.000Z|01000200,2|2026-01-01T09:00:02.000Z|01000300,"
              "3|2026-01-01T09:00:03.000Z|01000200")
        << "the first received of a repeat is kept, ids and samples as they were";
    EXPECT_EQ(scalar(db, "SELECT first_seen || ' ' || last_seen || ' ' || last_status_at || ' ' || "
                         "(SELECT at FROM syncs) FROM devices"),
              "2026-01-01T09:00:00.000Z 2026-01-01T23:30:00.000Z 2026-01-01T23:30:00.500Z "
              "2026-01-01T23:30:00.500Z")
        << "a local time after midnight is the previous day in UTC";
    EXPECT_EQ(scalar(db, "SELECT lower(hex(samples_sha256)) FROM measurements WHERE id = 3"),
              "7b11c1133330cd161071bf23a0c9b6ce5320a8f3a0f83620035a72be46df4104");
    EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM syncs"), "1");
    EXPECT_EQ(scalar(db, "SELECT last_status FROM devices"), "{}");

    // The upgraded table recognises repeats of old rows and never reuses an id.
    auto repeat = measurement("000-000-001", {1, 2});
    repeat.dtimePacked = 5;
    repeat.typeset = 1;
    EXPECT_EQ(s->storeMeasurement(repeat), StoreOutcome::Repeat);
    EXPECT_EQ(repeat.id, 1);
    auto fresh = measurement("000-000-004", {7});
    ASSERT_EQ(s->storeMeasurement(fresh), StoreOutcome::Stored) << s->lastError();
    EXPECT_EQ(fresh.id, 10);

    s.reset();
    OpenReport again;
    ASSERT_TRUE(SqliteStorage::open(db, OpenOptions{}, error, &again)) << error;
    EXPECT_FALSE(again.upgraded || again.created) << "version 3 is left as it is";
    EXPECT_EQ(again.versionFound, 3);
}

// Version 2 kept this computer's local time. Across the end of summer time the hour from
// 02:00 to 03:00 happens twice; the rows, in the order they were written, must stay in
// that order as UTC.
TEST(Storage, Version2LocalTimesBecomeUtcInOrderAcrossTheEndOfSummerTime)
{
    TempDir dir;
    const std::string db = dir.file("v2.db");
    const ZoneForTest berlin("Europe/Berlin"); // 2026-10-25 03:00 CEST -> 02:00 CET
    const char *const local[] = {"2026-10-25T01:30:00.000", "2026-10-25T02:10:00.000",
                                 "2026-10-25T02:50:00.250", "2026-10-25T02:05:00.000",
                                 "2026-10-25T02:40:00.000", "2026-10-25T03:10:00.000"};
    const char *const utc = "1 2026-10-24T23:30:00.000Z,2 2026-10-25T00:10:00.000Z,"
                            "3 2026-10-25T00:50:00.250Z,4 2026-10-25T01:05:00.000Z,"
                            "5 2026-10-25T01:40:00.000Z,6 2026-10-25T02:10:00.000Z";
    std::string rows;
    for (int i = 0; i < 6; ++i)
        rows += std::string(i ? "," : "") + "(" + std::to_string(i + 1) + ", '000-000-001', '" +
                local[i] + "', 'm', " + std::to_string(i) + ", 1, 1, 1, 1, x'0100', x'00')";
    const std::string fill = std::string(kVersion2Ddl) + "INSERT INTO measurements VALUES " + rows +
                             ";"
                             "INSERT INTO syncs (din, at, ok, params_written) VALUES "
                             "('000-000-001', '2026-10-25T02:30:00.000', 1, 0),"
                             "('000-000-001', '2026-10-25T02:20:00.000', 1, 0);";

    // All or nothing: one value that is no time refuses the upgrade and changes nothing.
    const std::string broken = dir.file("broken.db");
    ASSERT_TRUE(execSql(broken, fill +
                                    "INSERT INTO devices VALUES ('000-000-001', "
                                    "'2026-10-25T01:00:00.000', 'yesterday', NULL, NULL, NULL);"));
    std::string error;
    EXPECT_FALSE(SqliteStorage::open(broken, OpenOptions{}, error));
    EXPECT_NE(error.find("devices.last_seen of din 000-000-001 holds \"yesterday\""),
              std::string::npos)
        << error;
    EXPECT_EQ(scalar(broken, "PRAGMA user_version"), "2");
    EXPECT_EQ(scalar(broken, "SELECT received_at FROM measurements WHERE id = 1"), local[0]);

    ASSERT_TRUE(execSql(db, fill));
    OpenReport report;
    ASSERT_TRUE(SqliteStorage::open(db, OpenOptions{}, error, &report)) << error;
    EXPECT_TRUE(report.upgraded);
    EXPECT_EQ(report.versionFound, 2);
    EXPECT_EQ(report.timesConverted, 8u);
    EXPECT_EQ(report.zone, "Europe/Berlin");
    EXPECT_EQ(scalar(db, "SELECT group_concat(id || ' ' || received_at) FROM "
                         "(SELECT * FROM measurements ORDER BY received_at)"),
              utc);
    EXPECT_EQ(scalar(db, "SELECT group_concat(at) FROM syncs"),
              "2026-10-25T00:30:00.000Z,2026-10-25T01:20:00.000Z")
        << "02:20 after 02:30 is the second 02:20";
    EXPECT_EQ(scalar(db, "SELECT measured_at FROM measurements WHERE id = 1"), "m")
        << "device time is left as it is";
}

TEST(Storage, RefusesWhatItCannotUseAndChangesNothingWhenReading)
{
    TempDir dir;
    const std::string newer = dir.file("newer.db");
    ASSERT_TRUE(execSql(newer, "CREATE TABLE measurements (x); PRAGMA user_version = 4;"));

    std::string error;
    for (Access access : {Access::Write, Access::Read}) {
        OpenOptions o;
        o.access = access;
        EXPECT_FALSE(SqliteStorage::open(newer, o, error));
        EXPECT_NE(error.find("schema version 4"), std::string::npos) << error;
    }

    // A file system that is read-only even for root: SQLite would quietly open for reading.
    PrivateMount mount(dir.file("ro"), "1m");
    if (!mount.ok())
        GTEST_SKIP() << mount.why();
    const std::string ro = dir.file("ro/ro.db");
    ASSERT_TRUE(SqliteStorage::open(ro, OpenOptions{}, error)) << error;
    ASSERT_TRUE(mount.makeReadOnly()) << std::strerror(errno);
    EXPECT_FALSE(SqliteStorage::open(ro, OpenOptions{}, error));
    EXPECT_NE(error.find("is read-only"), std::string::npos) << error;
}

// One transaction for a group: a failure anywhere in it (a step, or the commit on a full disk)
// leaves none of it stored, and stored again it goes in whole; a measurement the group
// already holds, or the store held before, is a repeat.
TEST(Storage, AGroupIsCommittedWholeOrNotAtAll)
{
    TempDir dir;
    // A trigger condition on NEW that fails the insert; empty: fill the file system.
    for (const std::string failWhen : {"NEW.typeset = 1", "NEW.typeset = 3", ""}) {
        SCOPED_TRACE(failWhen);
        const std::string folder = dir.file(std::to_string(failWhen.size()));
        PrivateMount mount(folder, "2m");
        if (failWhen.empty() && !mount.ok()) {
            std::printf("disk full: not run, %s\n", mount.why().c_str());
            continue;
        }
        const std::string db = folder + "/g.db";
        std::string error;
        auto s = SqliteStorage::open(db, OpenOptions{}, error);
        ASSERT_TRUE(s) << error;
        auto before = measurement("000-000-009", {9});
        ASSERT_EQ(s->storeMeasurement(before), StoreOutcome::Stored);
        std::vector<MeasurementRecord> ms;
        std::vector<MeasurementRecord *> group;
        for (uint32_t t = 1; t <= 3; ++t) {
            ms.push_back(measurement("000-000-001", std::vector<uint16_t>(60000, uint16_t(t))));
            ms.back().typeset = t;
        }
        for (auto &m : ms)
            group.push_back(&m);
        if (failWhen.empty())
            fillUp(folder + "/filler");
        else
            ASSERT_TRUE(execSql(db, "CREATE TRIGGER fail BEFORE INSERT ON measurements WHEN " +
                                        failWhen + " BEGIN SELECT RAISE(ABORT, 'no room'); END;"));
        EXPECT_EQ(s->storeMeasurements(group, error),
                  std::vector<StoreOutcome>(3, StoreOutcome::Failed));
        EXPECT_NE(error.find(failWhen.empty() ? "" : "no room"), std::string::npos) << error;
        EXPECT_FALSE(error.empty());
        for (const auto &m : ms)
            EXPECT_EQ(m.id, 0) << "not stored: no id";
        EXPECT_EQ(scalar(db, "SELECT COUNT(*) || ' ' || COUNT(DISTINCT din) FROM measurements"),
                  "1 1");
        EXPECT_EQ(scalar(db, "SELECT COUNT(*) FROM devices"), "1") << "its device row went too";

        std::filesystem::remove(folder + "/filler");
        execSql(db, "DROP TRIGGER IF EXISTS fail");
        group.push_back(&ms[1]);  // the same one again within the group
        group.push_back(&before); // one stored before
        const StoreOutcome kStored = StoreOutcome::Stored, kRepeat = StoreOutcome::Repeat;
        EXPECT_EQ(s->storeMeasurements(group, error),
                  (std::vector<StoreOutcome>{kStored, kStored, kStored, kRepeat, kRepeat}));
        EXPECT_EQ(scalar(db, "SELECT COUNT(*) || ' ' || SUM(sample_count) FROM measurements"),
                  "4 180001");
        EXPECT_EQ(scalar(db, "SELECT id FROM measurements WHERE typeset = 2 AND nss = 2 AND "
                             "din = '000-000-001'"),
                  std::to_string(ms[1].id));
    }
}
