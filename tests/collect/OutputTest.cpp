// What other programs read: the CSV and JSONL exports, byte for byte.
#include "CollectTestSupport.h"
#include "Exports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace lumo_collect;
using namespace collect_test;

namespace {

MeasurementRecord sample(std::vector<uint16_t> samples, int64_t id = 12)
{
    MeasurementRecord m;
    m.id = id;
    m.din = "000-001-234";
    m.dtimePacked = kPacked20240517;
    m.measuredAt = "2024-05-17 13:45:30";
    m.receivedAt = "2026-01-01T10:00:00.000";
    m.typeset = 3;
    m.ns = static_cast<uint16_t>(samples.size());
    m.nss = 1;
    m.samples = std::move(samples);
    return m;
}

} // namespace

TEST(Exports, CsvAppendsRowsAndWritesTheHeaderOnceJsonlLinesParseBack)
{
    TempDir dir;
    const std::string csvDir = dir.file("csv");
    std::string error;
    for (const auto &m : {sample({5, 65535}), sample({7}, 13)}) {
        auto csv = CsvExport::open(csvDir, error); // the second run appends
        ASSERT_TRUE(csv) << error;
        ASSERT_TRUE(csv->write(m));
    }
    EXPECT_EQ(slurp(csvDir + "/measurements.csv"),
              "id,din,measured_at,received_at,dtime_packed,typeset,ns,nss,sample_count\n"
              "12,000-001-234,2024-05-17 13:45:30,2026-01-01T10:00:00.000,1633868638,3,2,1,2\n"
              "13,000-001-234,2024-05-17 13:45:30,2026-01-01T10:00:00.000,1633868638,3,1,1,1\n");
    EXPECT_EQ(slurp(csvDir + "/samples.csv"), "measurement_id,din,index,value\n"
                                              "12,000-001-234,0,5\n12,000-001-234,1,65535\n"
                                              "13,000-001-234,0,7\n");
    EXPECT_EQ(csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(csvField("say \"hi\""), "\"say \"\"hi\"\"\"");

    const std::string path = dir.file("x.jsonl");
    auto jsonl = JsonlExport::open(path, error);
    ASSERT_TRUE(jsonl) << error;
    ASSERT_TRUE(jsonl->write(sample({1, 2, 3})));
    SyncRecord sync;
    sync.din = "000-001-234";
    sync.status = StatusRecord{};
    sync.status->deviceTime = 99;
    ASSERT_TRUE(jsonl->write(sync));
    QList<QByteArray> lines = QByteArray::fromStdString(slurp(path)).split('\n');
    if (lines.back().isEmpty())
        lines.removeLast();
    ASSERT_EQ(lines.size(), 2);
    const QJsonObject m = QJsonDocument::fromJson(lines[0]).object();
    const QJsonObject s = QJsonDocument::fromJson(lines[1]).object();
    EXPECT_EQ(m["type"].toString() + " " + m["din"].toString(), "measurement 000-001-234");
    EXPECT_EQ(m["samples"].toArray(), QJsonArray({1, 2, 3}));
    EXPECT_EQ(s["type"].toString(), "sync");
    EXPECT_EQ(s["status"].toObject()["deviceTime"].toInt(), 99);
    EXPECT_FALSE(JsonlExport::open(dir.file("no/such/dir/x.jsonl"), error));
}
