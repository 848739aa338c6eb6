// The fleet API over a real SQLite store written by the collector's own storage: pages,
// sorting, filtering, overdue, the last session's outcome, the clock offset, samples,
// bad queries, the token, and the metrics exposition.
#include "CollectTestSupport.h"

#include "FleetReader.h"
#include "Metrics.h"
#include "SqliteStorage.h"
#include "StoredTime.h"
#include "WebApi.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace lumo_collect;
using collect_test::TempDir;

namespace {

const char *const kNow = "2026-12-08T07:00:00.000";
constexpr std::chrono::seconds kExpectEvery{1800}; // overdue: last contact before 06:30
constexpr int64_t kClockAhead = 42;

SystemTime at(const std::string &stored)
{
    return SystemTime(std::chrono::milliseconds(*storedTimeToEpochMs(stored)));
}

MeasurementRecord measurement(const std::string &din, const std::string &receivedAt,
                              uint32_t packed, std::vector<uint16_t> samples)
{
    MeasurementRecord m;
    m.din = din;
    m.receivedAt = receivedAt;
    m.dtimePacked = packed;
    m.measuredAt = formatDeviceTime(packed);
    m.typeset = 3;
    m.ns = static_cast<uint16_t>(samples.size());
    m.samples = std::move(samples);
    return m;
}

SyncRecord sync(const std::string &din, const std::string &when, bool ok)
{
    SyncRecord s;
    s.din = din;
    s.at = when;
    s.ok = ok;
    StatusRecord status;
    status.deviceTime = static_cast<uint32_t>(*storedTimeToEpochMs(when) / 1000 + kClockAhead);
    if (ok)
        s.status = status;
    return s;
}

// A: one handshake long ago; B: two measurements lately; C: a good SYNC lately;
// D: a failed SYNC long ago.
class WebApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        auto store = SqliteStorage::open(db_, OpenOptions{}, error);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(store->deviceSeen("100-000-001", "2026-12-08T06:00:00.000"));
        ASSERT_TRUE(store->deviceSeen("100-000-002", "2026-12-08T06:40:00.000"));
        for (auto m :
             {measurement("100-000-002", "2026-12-08T06:40:30.000", 0x1000, {1, 2, 3}),
              measurement("100-000-002", "2026-12-08T06:41:00.000", 0x2000, {0, 65535, 7, 300})})
            ASSERT_EQ(store->storeMeasurement(m), StoreOutcome::Stored);
        ASSERT_TRUE(store->deviceSeen("200-000-003", "2026-12-08T06:50:00.000"));
        ASSERT_TRUE(store->storeSync(sync("200-000-003", "2026-12-08T06:50:05.000", true)));
        ASSERT_TRUE(store->deviceSeen("200-000-004", "2026-12-08T06:10:00.000"));
        ASSERT_TRUE(store->storeSync(sync("200-000-004", "2026-12-08T06:10:02.000", false)));
        reader_ = openFleetReader(db_, error);
        ASSERT_TRUE(reader_) << error;
    }

    WebReply get(const std::string &path, std::multimap<std::string, std::string> query = {},
                 const std::string &authorization = "", const std::string &token = "")
    {
        WebConfig config;
        config.expectEvery = kExpectEvery;
        config.token = token;
        WebApi api(config, *reader_, board_, [] { return at(kNow); });
        return api.handle(WebRequest{path, std::move(query), authorization});
    }

    QJsonObject getJson(const std::string &path, std::multimap<std::string, std::string> query = {})
    {
        const WebReply r = get(path, std::move(query));
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        return QJsonDocument::fromJson(QByteArray::fromStdString(r.body)).object();
    }

    TempDir dir_;
    std::string db_ = dir_.file("fleet.db");
    std::unique_ptr<FleetReader> reader_;
    MetricsBoard board_;
};

std::vector<std::string> dins(const QJsonObject &page)
{
    std::vector<std::string> out;
    for (const auto v : page["devices"].toArray())
        out.push_back(v.toObject()["din"].toString().toStdString());
    return out;
}

struct PageCase {
    std::multimap<std::string, std::string> query;
    std::vector<std::string> expected;
    int total;
};

TEST_F(WebApiTest, DevicePagesAreSortedFilteredAndCutByTheServer)
{
    const std::vector<PageCase> cases = {
        {{}, {"100-000-001", "100-000-002", "200-000-003", "200-000-004"}, 4},
        {{{"sort", "last_seen"}, {"order", "desc"}},
         {"200-000-003", "100-000-002", "200-000-004", "100-000-001"},
         4},
        {{{"sort", "measurements"}, {"order", "desc"}, {"limit", "1"}}, {"100-000-002"}, 4},
        {{{"sort", "first_seen"}}, {"100-000-001", "200-000-004", "100-000-002", "200-000-003"}, 4},
        {{{"q", "200-"}}, {"200-000-003", "200-000-004"}, 2},
        {{{"q", "%_'\"<"}}, {"100-000-001", "100-000-002", "200-000-003", "200-000-004"}, 4},
        {{{"overdue", "1"}}, {"100-000-001", "200-000-004"}, 2},
        {{{"limit", "2"}, {"offset", "2"}}, {"200-000-003", "200-000-004"}, 4},
        {{{"offset", "9"}}, {}, 4},
    };
    for (const PageCase &c : cases) {
        const QJsonObject page = getJson("/api/devices", c.query);
        EXPECT_EQ(dins(page), c.expected) << page["devices"].toArray().size();
        EXPECT_EQ(page["total"].toInt(), c.total);
    }
}

TEST_F(WebApiTest, EachDeviceShowsItsLastSessionOverdueAndClock)
{
    const QJsonObject page = getJson("/api/devices");
    std::map<std::string, QJsonObject> by;
    for (const auto v : page["devices"].toArray())
        by[v.toObject()["din"].toString().toStdString()] = v.toObject();
    struct Expect {
        const char *din;
        const char *outcome;
        bool overdue;
        int measurements;
    };
    for (const Expect &e : {Expect{"100-000-001", "contact only", true, 0},
                            Expect{"100-000-002", "measurements", false, 2},
                            Expect{"200-000-003", "sync ok", false, 0},
                            Expect{"200-000-004", "sync failed", true, 0}}) {
        const QJsonObject d = by[e.din];
        EXPECT_EQ(d["last_session"].toObject()["outcome"].toString(), e.outcome) << e.din;
        EXPECT_EQ(d["overdue"].toBool(), e.overdue) << e.din;
        EXPECT_EQ(d["measurements"].toInt(), e.measurements) << e.din;
    }
    EXPECT_EQ(by["200-000-003"]["clock_offset_s"].toInt(), kClockAhead);
    EXPECT_EQ(
        by["200-000-003"]["last_status"].toObject()["deviceTime"].toDouble(),
        static_cast<double>(*storedTimeToEpochMs("2026-12-08T06:50:05.000") / 1000 + kClockAhead));
    EXPECT_TRUE(by["100-000-001"]["clock_offset_s"].isNull());
    EXPECT_EQ(by["100-000-002"]["last_measurement_at"].toString(), "2026-12-08T06:41:00.000");

    const QJsonObject fleet = getJson("/api/fleet");
    EXPECT_EQ(fleet["devices"].toInt(), 4);
    EXPECT_EQ(fleet["overdue"].toInt(), 2);
    EXPECT_EQ(fleet["measurements"].toInt(), 2);
    EXPECT_FALSE(fleet.contains("collector")) << "serving only: no run's figures";

    const QJsonObject d = getJson("/api/devices/200-000-004");
    ASSERT_EQ(d["syncs"].toArray().size(), 1);
    EXPECT_FALSE(d["syncs"].toArray()[0].toObject()["ok"].toBool());
}

TEST_F(WebApiTest, MeasurementsArePagedNewestFirstAndCarryTheirSamples)
{
    const QJsonObject page =
        getJson("/api/devices/100-000-002/measurements", {{"limit", "1"}, {"offset", "0"}});
    EXPECT_EQ(page["total"].toInt(), 2);
    ASSERT_EQ(page["measurements"].toArray().size(), 1);
    const QJsonObject newest = page["measurements"].toArray()[0].toObject();
    EXPECT_EQ(newest["received_at"].toString(), "2026-12-08T06:41:00.000");

    const QJsonObject m = getJson("/api/measurements/" + std::to_string(newest["id"].toInt()));
    EXPECT_EQ(m["din"].toString(), "100-000-002");
    EXPECT_EQ(m["sample_count"].toInt(), 4);
    EXPECT_EQ(m["samples"].toArray(), (QJsonArray{0, 65535, 7, 300}));
}

TEST_F(WebApiTest, WhatCannotBeAnsweredIsSaidWithItsStatus)
{
    const std::vector<std::pair<WebRequest, int>> cases = {
        {{"/api/devices", {{"sort", "sample_count"}}, ""}, 400},
        {{"/api/devices", {{"order", "up"}}, ""}, 400},
        {{"/api/devices", {{"limit", "0"}}, ""}, 400},
        {{"/api/devices", {{"limit", "501"}}, ""}, 400},
        {{"/api/devices", {{"offset", "-1"}}, ""}, 400},
        {{"/api/devices", {{"offset", "1x"}}, ""}, 400},
        {{"/api/devices/999-999-999", {}, ""}, 404},
        {{"/api/devices/12-34", {}, ""}, 404},
        {{"/api/devices/100-000-002/measurements", {{"limit", "x"}}, ""}, 400},
        {{"/api/measurements/999999", {}, ""}, 404},
        {{"/api/measurements/-1", {}, ""}, 404},
        {{"/api/nothing", {}, ""}, 404},
        {{"/no-such-file.js", {}, ""}, 404},
        {{"/", {}, ""}, 200},
        {{"/uPlot.iife.min.js", {}, ""}, 200},
    };
    for (const auto &[request, status] : cases) {
        const WebReply r = get(request.path, request.query);
        EXPECT_EQ(r.status, status) << request.path << " " << r.body;
        if (status != 200) {
            EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(r.body))
                            .object()
                            .contains("error"))
                << r.body;
        }
    }
}

TEST_F(WebApiTest, WithATokenEveryRequestMustCarryIt)
{
    const std::string token = "s3cret-token";
    const std::string basic = "Basic " + QByteArray("anyone:s3cret-token").toBase64().toStdString();
    const std::string wrongBasic = "Basic " + QByteArray("s3cret-token:x").toBase64().toStdString();
    const std::vector<std::pair<std::string, int>> cases = {
        {"", 401},
        {"Bearer s3cret-token", 200},
        {"Bearer s3cret-tokeN", 401},
        {"Bearer s3cret-token ", 401},
        {"bearer s3cret-token", 401},
        {basic, 200},
        {wrongBasic, 401},
        {"Basic !!!", 401},
    };
    for (const std::string path : {"/api/devices", "/metrics", "/"}) {
        for (const auto &[authorization, status] : cases) {
            const WebReply r = get(path, {}, authorization, token);
            EXPECT_EQ(r.status, status) << path << " with '" << authorization << "'";
            if (status == 401) {
                EXPECT_EQ(r.body.find("100-000"), std::string::npos) << "nothing leaks";
                EXPECT_NE(std::find_if(r.headers.begin(), r.headers.end(),
                                       [](const auto &h) { return h.first == "WWW-Authenticate"; }),
                          r.headers.end());
            }
        }
    }
}

TEST_F(WebApiTest, MetricsCountTheRunAndTheStoreWithoutPerDeviceLabels)
{
    const WebReply serving = get("/metrics");
    EXPECT_NE(serving.body.find("mode=\"serve\""), std::string::npos);
    EXPECT_EQ(serving.body.find("lumo_collect_measurements_stored_total"), std::string::npos)
        << "a view that does not collect shows no run's figures";
    EXPECT_NE(serving.body.find("lumo_collect_store_devices_overdue 2\n"), std::string::npos)
        << serving.body;

    Stats stats;
    stats.measurements = 5;
    stats.storageDown = true;
    stats.leaseFailures = 2;
    stats.leasesLost = 3;
    stats.fencedMeasurements = 4;
    board_.publish(stats);
    using std::chrono::microseconds;
    for (const auto took :
         {microseconds(300), microseconds(700), microseconds(40000), microseconds(9000000)})
        board_.writeLatency().observe(took);
    const std::string text = get("/metrics").body;
    for (const char *line :
         {"lumo_collect_measurements_stored_total 5\n", "lumo_collect_storage_up 0\n",
          "lumo_collect_lease_failures_total 2\n", "lumo_collect_leases_lost_total 3\n",
          "lumo_collect_measurements_fenced_total 4\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"0.0005\"} 1\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"0.001\"} 2\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"0.025\"} 2\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"0.05\"} 3\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"2.5\"} 3\n",
          "lumo_collect_write_latency_seconds_bucket{le=\"+Inf\"} 4\n",
          "lumo_collect_write_latency_seconds_count 4\n",
          "lumo_collect_write_latency_seconds_sum 9.041\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    EXPECT_EQ(text.find("din"), std::string::npos);
}

} // namespace

TEST(TokenFile, TheFirstLineWithoutSurroundingBlanksOrARefusal)
{
    TempDir dir;
    const std::vector<std::tuple<std::string, bool, std::string>> cases = {
        {"  s3cret \r\nsecond line\n", true, "s3cret"},
        {"s3cret", true, "s3cret"},
        {"\n", false, "holds no token"},
        {"", false, "cannot read"},
    };
    for (const auto &[content, ok, expected] : cases) {
        const std::string path = dir.file("token");
        std::ofstream(path, std::ios::trunc) << content;
        std::string token, error;
        EXPECT_EQ(readTokenFile(path, token, error), ok) << content;
        EXPECT_NE((ok ? token : error).find(expected), std::string::npos) << token << error;
    }
    std::string token, error;
    EXPECT_FALSE(readTokenFile(dir.file("missing"), token, error));
}
