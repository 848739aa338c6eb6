// What other programs read: the CSV and JSONL exports, byte for byte (HDF5 is read back
// by h5py in the Python tests), and exports that cannot be written.
#include "CollectTestSupport.h"
#include "Exports.h"
#include "SqliteStorage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace lumo_collect;
using namespace collect_test;

namespace {

MeasurementRecord sample(std::vector<uint16_t> samples)
{
    MeasurementRecord m;
    m.din = "000-001-234";
    m.dtimePacked = kPacked20240517;
    m.measuredAt = "2024-05-17 13:45:30";
    m.receivedAt = "2026-01-01T10:00:00.000Z";
    m.typeset = 3;
    m.ns = static_cast<uint16_t>(samples.size());
    m.nss = 1;
    m.samples = std::move(samples);
    return m;
}

// Two measurements stored in a fresh database; their ids are 1 and 2.
std::unique_ptr<SqliteStorage> storeTwo(const std::string &db)
{
    std::string error;
    auto storage = SqliteStorage::open(db, OpenOptions{}, error);
    EXPECT_TRUE(storage) << error;
    for (auto m : {sample({5, 65535}), sample({7})}) {
        m.typeset = static_cast<uint32_t>(m.samples.size()); // two identities
        EXPECT_EQ(storage->storeMeasurement(m), StoreOutcome::Stored) << storage->lastError();
    }
    return storage;
}

ExportResult exportTo(Storage &storage, ExportFormat format, const std::string &output,
                      MeasurementFilter filter = {})
{
    ExportRequest request;
    request.format = format;
    request.output = output;
    request.filter = std::move(filter);
    return exportMeasurements(storage, request);
}

} // namespace

TEST(Exports, CsvRowPerMeasurementJsonlLinesParseBackFiltersAndEmptyRange)
{
    TempDir dir;
    auto storage = storeTwo(dir.file("x.db"));
    ASSERT_TRUE(storage);
    const std::string csv = dir.file("x.csv");
    const ExportResult r = exportTo(*storage, ExportFormat::Csv, csv);
    ASSERT_EQ(r.status, kExitOk) << r.error;
    EXPECT_EQ(r.measurements, 2u);
    EXPECT_EQ(r.samples, 3u);
    EXPECT_EQ(slurp(csv),
              "id,din,measured_at,received_at,dtime_packed,typeset,ns,nss,sample_count,samples\n"
              "1,000-001-234,2024-05-17 13:45:30,2026-01-01T10:00:00.000Z,1633868638,2,2,1,2,"
              "5 65535\n"
              "2,000-001-234,2024-05-17 13:45:30,2026-01-01T10:00:00.000Z,1633868638,1,1,1,1,7\n");
    EXPECT_EQ(csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(csvField("say \"hi\""), "\"say \"\"hi\"\"\"");

    const std::string jsonl = dir.file("x.jsonl");
    ASSERT_EQ(exportTo(*storage, ExportFormat::Jsonl, jsonl, {"", "", ""}).status, kExitOk);
    QList<QByteArray> lines = QByteArray::fromStdString(slurp(jsonl)).split('\n');
    ASSERT_EQ(lines.size(), 3) << "two lines, each ended";
    const QJsonObject m = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(m["type"].toString() + " " + m["din"].toString() + " " + m["received_at"].toString(),
              "measurement 000-001-234 2026-01-01T10:00:00.000Z");
    EXPECT_EQ(m["samples"].toArray(), QJsonArray({5, 65535}));

    // Device-time bounds: from inclusive, to exclusive; another DIN matches nothing.
    struct Case {
        MeasurementFilter filter;
        std::size_t expected;
    };
    for (const Case &c :
         {Case{{"", "2024-05-17 13:45:30", ""}, 2}, Case{{"", "", "2024-05-17 13:45:30"}, 0},
          Case{{"000-001-235", "", ""}, 0},
          Case{{"000-001-234", "2024-05-17 00:00:00", "2024-05-18 00:00:00"}, 2}}) {
        const ExportResult f = exportTo(*storage, ExportFormat::Csv, csv, c.filter);
        EXPECT_EQ(f.status, kExitOk) << f.error;
        EXPECT_EQ(f.measurements, c.expected) << c.filter.from << " " << c.filter.to;
    }
    EXPECT_EQ(slurp(csv), "id,din,measured_at,received_at,dtime_packed,typeset,ns,nss,"
                          "sample_count,samples\n1,000-001-234,2024-05-17 13:45:30,"
                          "2026-01-01T10:00:00.000Z,1633868638,2,2,1,2,5 65535\n"
                          "2,000-001-234,2024-05-17 13:45:30,2026-01-01T10:00:00.000Z,"
                          "1633868638,1,1,1,1,7\n")
        << "the last export replaced the file";
    ASSERT_EQ(exportTo(*storage, ExportFormat::Jsonl, jsonl, {"000-009-999", "", ""}).status,
              kExitOk);
    EXPECT_EQ(slurp(jsonl), "") << "an empty range is an empty file";
}

TEST(Exports, TargetThatCannotBeWrittenLeavesNothingBehind)
{
    TempDir dir;
    auto storage = storeTwo(dir.file("x.db"));
    ASSERT_TRUE(storage);
    for (ExportFormat format : {ExportFormat::Csv, ExportFormat::Jsonl, ExportFormat::Hdf5}) {
        const ExportResult r = exportTo(*storage, format, dir.file("no/such/dir/x"));
        EXPECT_EQ(r.status, kExitUnavailable) << formatName(format);
        EXPECT_NE(r.error.find("cannot write"), std::string::npos) << r.error;
    }
    // A full file system: the export fails and neither a temporary file nor a partial
    // target remain; a target that existed before is untouched.
    PrivateMount mount(dir.file("full"), "64k");
    if (!mount.ok())
        GTEST_SKIP() << "no private tmpfs here";
    std::vector<uint16_t> big(40000, 0x1234);
    auto large = sample(big);
    ASSERT_EQ(storage->storeMeasurement(large), StoreOutcome::Stored);
    const std::string target = dir.file("full/x.csv");
    {
        std::ofstream(target) << "before\n";
    }
    for (ExportFormat format : {ExportFormat::Csv, ExportFormat::Hdf5}) {
        const ExportResult r = exportTo(*storage, format, target);
        EXPECT_EQ(r.status, kExitUnavailable) << formatName(format);
        EXPECT_EQ(slurp(target), "before\n");
        std::size_t files = 0;
        for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir.file("full")))
            ++files;
        EXPECT_EQ(files, 1u) << "no temporary file left";
    }
}
