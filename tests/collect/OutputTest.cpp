// What people read: CSV and JSONL exports and the SVG picture.
#include "CollectTestSupport.h"
#include "Exports.h"
#include "Plot.h"

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
    EXPECT_EQ(csvField("plain"), "plain");

    const std::string path = dir.file("x.jsonl");
    auto jsonl = JsonlExport::open(path, error);
    ASSERT_TRUE(jsonl) << error;
    ASSERT_TRUE(jsonl->write(sample({1, 2, 3})));
    SyncRecord sync;
    sync.din = "000-001-234";
    sync.ok = true;
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

TEST(Plot, PolylineFollowsTheSamplesTextIsEscapedTicksAreRound)
{
    const std::string svg = renderSvg(sample({100, 400, 250, 1000, 100}));
    EXPECT_NE(svg.find(">DIN 000-001-234 \xE2\x80\x94 2024-05-17 13:45:30"), std::string::npos);
    const auto points = svgPoints(svg);
    ASSERT_EQ(points.size(), 5u);
    // x grows with the index; the highest value is drawn highest (smallest y).
    for (std::size_t i = 1; i < points.size(); ++i)
        EXPECT_GT(points[i].first, points[i - 1].first);
    EXPECT_LT(points[3].second, points[1].second);
    EXPECT_LT(points[1].second, points[2].second);
    EXPECT_LT(points[2].second, points[0].second);
    EXPECT_DOUBLE_EQ(points[0].second, points[4].second);
    auto empty = sample({});
    empty.measuredAt = "<&\">";
    const std::string text = renderSvg(empty);
    EXPECT_TRUE(svgPoints(text).empty());
    EXPECT_NE(text.find("&lt;&amp;&quot;&gt;"), std::string::npos) << text;
    EXPECT_NE(text.find("no samples"), std::string::npos);

    EXPECT_EQ(niceTicks(0, 100, 5), (std::vector<double>{0, 20, 40, 60, 80, 100}));
    EXPECT_EQ(niceTicks(3, 7.5, 4), (std::vector<double>{4, 6}));
    EXPECT_EQ(niceTicks(16768, 48768, 8),
              (std::vector<double>{20000, 25000, 30000, 35000, 40000, 45000}));
    EXPECT_EQ(niceTicks(5, 5, 8), std::vector<double>{5});
}
