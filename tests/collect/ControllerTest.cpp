// The host's side of the conversation, driven with event records as the library raises
// them: what it answers, what it stores, and how it copes with odd records.
#include "Controller.h"
#include "CollectTestSupport.h"
#include "Exports.h"
#include "SignalWaiter.h"
#include "SqliteStorage.h"
#include "StatusLine.h"

#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

using namespace lumo_collect;
using namespace collect_test;
using liblumo::lumo_EventData;

namespace {

const std::string kDin = "000-001-234";

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        storage_ = SqliteStorage::open(db(), OpenOptions{}, error);
        ASSERT_TRUE(storage_) << error;
    }

    std::unique_ptr<Controller> make(ControllerConfig config, Storage *storage = nullptr)
    {
        Sinks sinks;
        sinks.storage = storage ? storage : storage_.get();
        sinks.say = [this](const std::string &line) {
            std::lock_guard<std::mutex> lock(linesMutex_);
            lines_.push_back(line);
        };
        return std::make_unique<Controller>(std::move(config), sinks);
    }

    // Raises one event through the C callback, as the library does.
    static void raise(Controller &c, liblumo::lumo_Event event, lumo_EventData &r)
    {
        Controller::callback(event, &r, &c, liblumo::ERR_NONE);
    }

    static uint32_t ask(Controller &c, const std::string &din,
                        std::unique_ptr<lumo_EventData> *keep = nullptr)
    {
        auto r = record(din);
        raise(c, liblumo::EV_REQUEST_ACTION, *r);
        const uint32_t answer = r->answer;
        if (keep)
            *keep = std::move(r);
        return answer;
    }

    static void added(Controller &c, const std::string &din)
    {
        auto r = record(din);
        raise(c, liblumo::EV_DEVICE_ADDED, *r);
    }

    std::string db() const { return dir_.file("c.db"); }
    std::size_t linesContaining(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        std::size_t n = 0;
        for (const auto &l : lines_)
            n += l.find(text) != std::string::npos;
        return n;
    }

    TempDir dir_;
    std::unique_ptr<SqliteStorage> storage_;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

liblumo::DeviceParams someParams()
{
    liblumo::DeviceParams p;
    std::memset(&p, 0, sizeof p);
    p.param16a[0] = 0x0102;
    p.param32d[5] = 0xA1B2C3D4;
    p.crc16 = 0xBEEF;
    return p;
}

} // namespace

TEST_F(ControllerTest, PlanWithParametersIsSyncTransferSleep)
{
    ControllerConfig config;
    config.params = someParams();
    auto c = make(config);
    added(*c, kDin);

    std::unique_ptr<lumo_EventData> syncRecord;
    EXPECT_EQ(ask(*c, kDin, &syncRecord), uint32_t{liblumo::SYNC});
    ASSERT_EQ(syncRecord->answerLength, 100u);
    // answerData carries the record as laid out in memory: param16a[0] at 0, param32d[5]
    // at 60, crc16 at 96, everything else zero.
    uint8_t expected[100] = {};
    expected[0] = 0x02;
    expected[1] = 0x01;
    expected[60] = 0xD4;
    expected[61] = 0xC3;
    expected[62] = 0xB2;
    expected[63] = 0xA1;
    expected[96] = 0xEF;
    expected[97] = 0xBE;
    EXPECT_EQ(0, std::memcmp(syncRecord->answerData, expected, sizeof expected));
    EXPECT_EQ(syncRecord->answerData[100], 0) << "nothing beyond the 100 bytes";

    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    EXPECT_EQ(c->stats().devicesDone, 0u);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::SLEEP});
    EXPECT_EQ(c->stats().devicesDone, 1u);
}

TEST_F(ControllerTest, FinalStepFollowsTheOptions)
{
    ControllerConfig exitConfig;
    exitConfig.finalStep = FinalStep::Exit;
    auto c = make(exitConfig);
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER}) << "no parameters: no SYNC";
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::EXIT});
    EXPECT_EQ(c->stats().devicesDone, 1u);

    ControllerConfig holdConfig;
    holdConfig.finalStep = FinalStep::Hold;
    auto h = make(holdConfig);
    added(*h, kDin);
    EXPECT_EQ(ask(*h, kDin), uint32_t{liblumo::DATA_TRANSFER});
    for (int turn = 0; turn < 5; ++turn)
        EXPECT_EQ(ask(*h, kDin), uint32_t{liblumo::CONTROL}) << turn;
    EXPECT_EQ(h->stats().devicesDone, 0u) << "a held device is never finished";

    auto r = record(kDin);
    raise(*h, liblumo::EV_KEEPALIVE_FAILED, *r);
    EXPECT_EQ(h->stats().keepAlivesFailed, 1u);
    EXPECT_EQ(h->stats().devicesDone, 1u);
}

TEST_F(ControllerTest, HandshakeAgainStartsThePlanOver)
{
    ControllerConfig config;
    config.params = someParams();
    auto c = make(config);
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::SYNC});
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::SYNC});
    // Devices keep plans of their own.
    added(*c, "000-001-235");
    EXPECT_EQ(ask(*c, "000-001-235"), uint32_t{liblumo::SYNC});
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    EXPECT_EQ(c->stats().devicesSeen, 2u);
}

TEST_F(ControllerTest, AcceptListRefusesOthersAndSaysSoOnce)
{
    ControllerConfig config;
    config.accept = {kDin};
    auto c = make(config);
    auto ok = record(kDin);
    raise(*c, liblumo::EV_DEVICE_HANDSHAKE, *ok);
    EXPECT_NE(ok->answer & 0xFF, 0u);
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto refused = record("999-999-999");
        raise(*c, liblumo::EV_DEVICE_HANDSHAKE, *refused);
        EXPECT_EQ(refused->answer, 0u);
    }
    EXPECT_EQ(c->stats().refused, 1u);
    EXPECT_EQ(linesContaining("refused device 999-999-999"), 1u);

    auto open = make(ControllerConfig{});
    auto any = record("999-999-999");
    raise(*open, liblumo::EV_DEVICE_HANDSHAKE, *any);
    EXPECT_NE(any->answer & 0xFF, 0u) << "no --accept: every device";
}

TEST_F(ControllerTest, MeasurementKeepsItsOwnSamplesOnly)
{
    auto c = make(ControllerConfig{});
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    auto r = record(kDin);
    putMeasurement(*r, kPacked20240517, 9, 3, 1, {0x0102, 0xFFFF, 0x8000});
    raise(*c, liblumo::EV_MEASUREMENT, *r);
    EXPECT_EQ(r->answer, 0u) << "stored: the library acknowledges it";
    raise(*c, liblumo::EV_TRANSFER_DONE, *r);

    const auto rows = query(db(), "SELECT din, measured_at, typeset, ns, nss, sample_count, "
                                  "hex(samples) FROM measurements");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{kDin, "2024-05-17 13:45:30", "9", "3", "1", "3",
                                                 "0201FFFF0080"}));
    EXPECT_EQ(c->stats().measurements, 1u);
    EXPECT_EQ(c->stats().samples, 3u);
    EXPECT_EQ(linesContaining("transfer done, 1 measurement"), 1u);
}

TEST_F(ControllerTest, StoresTheSamplesThatArrivedNotTheHeadersClaim)
{
    struct Case {
        uint32_t arrived; // the record's `reserved`
        uint16_t ns;
        uint16_t nss;
        std::string expected; // sample_count, blob length, last stored sample
    };
    const std::vector<Case> cases = {
        {3, 100, 2, "3 6 0080"},                      // header claims more than arrived
        {2, 1, 1, "2 4 FFFF"},                        // header claims fewer
        {0, 5, 1, "0 0 "},                            // nothing arrived
        {65536, 0xFFFF, 0xFFFF, "65536 131072 AB00"}, // the record's whole room
        {70000, 0xFFFF, 0xFFFF, "65536 131072 AB00"}, // more than the record holds
    };
    auto c = make(ControllerConfig{});
    uint32_t typeset = 0;
    for (const Case &k : cases) {
        auto r = record(kDin);
        putMeasurement(*r, kPacked20240517, ++typeset, k.ns, k.nss, {0x0102, 0xFFFF, 0x8000});
        r->payload[20 + 2 * 65535] = 0xAB; // the very last sample of the record
        r->reserved = k.arrived;
        raise(*c, liblumo::EV_MEASUREMENT, *r);
        EXPECT_EQ(scalar(db(), "SELECT sample_count || ' ' || length(samples) || ' ' || "
                               "hex(substr(samples, -2, 2)) FROM measurements WHERE typeset = " +
                                   std::to_string(typeset)),
                  k.expected)
            << "arrived " << k.arrived;
    }
}

TEST_F(ControllerTest, RepeatedMeasurementsAreCountedNotStoredAgain)
{
    auto c = make(ControllerConfig{});
    for (int pass = 0; pass < 2; ++pass) {
        added(*c, kDin);
        EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
        for (uint32_t typeset = 1; typeset <= 3; ++typeset) {
            auto r = record(kDin);
            putMeasurement(*r, kPacked20240517, typeset, 2, 1, {7, static_cast<uint16_t>(pass)});
            // The second pass repeats the first two and brings a new third one.
            if (typeset < 3)
                putLe(r->payload + 22, 0, 2);
            raise(*c, liblumo::EV_MEASUREMENT, *r);
            EXPECT_EQ(r->answer, 0u) << "a repeat is acknowledged: it is stored already";
        }
        raise(*c, liblumo::EV_TRANSFER_DONE, *record(kDin));
    }
    EXPECT_EQ(scalar(db(), "SELECT COUNT(*) FROM measurements"), "4");
    const Stats s = c->stats();
    EXPECT_EQ(s.measurements, 4u);
    EXPECT_EQ(s.repeats, 2u);
    EXPECT_EQ(s.samples, 8u);
    EXPECT_EQ(linesContaining("not stored again"), 2u);
    EXPECT_EQ(linesContaining("transfer done, 3 measurement"), 2u);
    EXPECT_NE(formatStatusLine(s, 1).find("repeats 2"), std::string::npos);
}

TEST_F(ControllerTest, SyncResultsAreStoredWithTheStatus)
{
    ControllerConfig config;
    config.params = someParams();
    auto c = make(config);
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::SYNC});
    auto updated = record(kDin);
    raise(*c, liblumo::EV_PARAMS_UPDATED, *updated);
    auto done = record(kDin);
    // DeviceStatus at its offsets: status32a 0, status32b 4, status16a 8, deviceTime 12,
    // status16b 16..29.
    putLe(done->payload + 0, 0x01020304, 4);
    putLe(done->payload + 4, 5, 4);
    putLe(done->payload + 8, 6, 2);
    putLe(done->payload + 12, 1715953530, 4);
    putLe(done->payload + 16, 100, 2);
    putLe(done->payload + 28, 700, 2);
    raise(*c, liblumo::EV_SYNC_DONE, *done);

    // A second SYNC that fails before the status was read: no status stored.
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::SYNC});
    auto failed = record(kDin);
    raise(*c, liblumo::EV_ACTION_FAILED, *failed);

    const auto rows = query(db(), "SELECT ok, params_written, host_crc16, status32a, status32b, "
                                  "status16a, device_time, status16b FROM syncs ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "1", "48879", "16909060", "5", "6",
                                                 "1715953530", "[100,0,0,0,0,0,700]"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"0", "0", "48879", "NULL", "NULL", "NULL", "NULL",
                                                 "NULL"}));
    EXPECT_EQ(c->stats().syncsOk, 1u);
    EXPECT_EQ(c->stats().syncsFailed, 1u);
    EXPECT_EQ(c->stats().transfersFailed, 0u) << "a failed SYNC is not a failed transfer";
}

TEST_F(ControllerTest, FailedTransferIsCountedAndToldAsSuch)
{
    auto c = make(ControllerConfig{});
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    auto m = record(kDin);
    putMeasurement(*m, kPacked20240517, 1, 1, 1, {42});
    raise(*c, liblumo::EV_MEASUREMENT, *m);
    auto failed = record(kDin);
    raise(*c, liblumo::EV_ACTION_FAILED, *failed);
    EXPECT_EQ(c->stats().transfersFailed, 1u);
    EXPECT_EQ(c->stats().failuresBeforeStop, 1u);
    EXPECT_EQ(linesContaining("transfer FAILED after 1 measurement"), 1u);
    EXPECT_EQ(scalar(db(), "SELECT COUNT(*) FROM measurements"), "1")
        << "what arrived before the failure is kept";

    // A transfer cut short by the end of the run is counted, but not held against it.
    c->beginStop();
    added(*c, kDin);
    EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
    raise(*c, liblumo::EV_ACTION_FAILED, *failed);
    EXPECT_EQ(c->stats().transfersFailed, 2u);
    EXPECT_EQ(c->stats().failuresBeforeStop, 1u);
}

// A store that fails: measurements are refused (the device keeps them), no transfer is
// asked for until a probe write succeeds, then the owed transfers follow.
TEST_F(ControllerTest, StorageFailureRefusesAndPausesTransfersUntilItWorksAgain)
{
    struct Case {
        const char *what;
        std::string folder; // where the database lives
        // Breaks the store; returns how to mend it (empty: it stays broken).
        std::function<std::function<void()>(const std::string &db)> breakIt;
        bool readOnly = false;
    };
    std::unique_ptr<PrivateMount> tiny;
    sqlite3 *locker = nullptr;
    const std::vector<Case> cases = {
        {"locked", dir_.file("locked"),
         [&](const std::string &db) -> std::function<void()> {
             // Another connection holds the write lock.
             EXPECT_EQ(sqlite3_open(db.c_str(), &locker), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(locker, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
                       SQLITE_OK);
             return [&] {
                 sqlite3_exec(locker, "ROLLBACK", nullptr, nullptr, nullptr);
                 sqlite3_close(locker);
             };
         }},
        {"full", dir_.file("full"),
         [&](const std::string &db) -> std::function<void()> {
             const std::string filler = db + ".filler";
             fillUp(filler);
             return [filler] { std::filesystem::remove(filler); };
         }},
        {"read-only", dir_.file("ro"),
         [](const std::string &) -> std::function<void()> { return {}; }, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        lines_.clear();
        if (std::string(k.what) == "full") {
            tiny = std::make_unique<PrivateMount>(k.folder, "2m");
            if (!tiny->ok()) {
                std::printf("full: not run, %s\n", tiny->why().c_str());
                continue;
            }
        }
        std::filesystem::create_directories(k.folder);
        const std::string path = k.folder + "/c.db";
        std::string error;
        OpenOptions options;
        options.busyTimeout = std::chrono::milliseconds(200);
        ASSERT_TRUE(SqliteStorage::open(path, options, error)) << error; // creates it
        options.access = k.readOnly ? Access::Read : Access::Write;
        auto store = SqliteStorage::open(path, options, error);
        ASSERT_TRUE(store) << error;
        ControllerConfig config;
        config.finalStep = FinalStep::Hold;
        config.storageProbeInterval = std::chrono::milliseconds(0);
        auto c = make(config, store.get());

        // No handshake event: its device row would be a write, and the read-only store
        // would fail before the transfer this case is about.
        ASSERT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
        const auto mend = k.breakIt(path);
        for (uint32_t typeset = 1; typeset <= 2; ++typeset) {
            auto r = record(kDin);
            putMeasurement(*r, kPacked20240517, typeset, 1, 1, {42});
            raise(*c, liblumo::EV_MEASUREMENT, *r);
            EXPECT_EQ(r->answer, liblumo::kRefuseMeasurement) << typeset;
        }
        raise(*c, liblumo::EV_ACTION_FAILED, *record(kDin));
        EXPECT_EQ(linesContaining("STORAGE FAILED"), 1u);
        EXPECT_EQ(linesContaining("storage failed, the device keeps the rest"), 1u);
        EXPECT_TRUE(c->stats().storageDown);
        EXPECT_EQ(c->stats().refusedMeasurements, 2u);
        EXPECT_NE(formatStatusLine(c->stats(), 1).find("STORAGE DOWN"), std::string::npos);

        // No transfer while it fails: neither the owed one nor a new device's.
        added(*c, "000-000-002");
        c->probeStorage();
        EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::CONTROL});
        EXPECT_EQ(ask(*c, "000-000-002"), uint32_t{liblumo::CONTROL});
        EXPECT_EQ(c->stats().transfersSkipped, 1u);
        if (!mend) {
            EXPECT_TRUE(c->stats().storageDown);
            continue;
        }
        mend();
        c->probeStorage();
        EXPECT_FALSE(c->stats().storageDown);
        EXPECT_EQ(linesContaining("storage works again"), 1u);
        EXPECT_EQ(ask(*c, kDin), uint32_t{liblumo::DATA_TRANSFER});
        EXPECT_EQ(ask(*c, "000-000-002"), uint32_t{liblumo::DATA_TRANSFER});
        auto r = record(kDin);
        putMeasurement(*r, kPacked20240517, 1, 1, 1, {42});
        raise(*c, liblumo::EV_MEASUREMENT, *r);
        EXPECT_EQ(r->answer, 0u);
        EXPECT_EQ(scalar(path, "SELECT COUNT(*) FROM measurements"), "1");
    }
}

TEST_F(ControllerTest, DinFieldWithoutTerminatorIsReadWithinItsBounds)
{
    auto c = make(ControllerConfig{});
    auto r = record("");
    std::memset(r->din, '7', liblumo::kDinSize); // no zero byte in the field
    r->payload[0] = 0;                           // the next byte is the payload
    raise(*c, liblumo::EV_DEVICE_ADDED, *r);
    EXPECT_EQ(scalar(db(), "SELECT din FROM devices"), std::string(liblumo::kDinSize, '7'));
}

TEST_F(ControllerTest, ChannelEventsWithoutRecordAndStopWait)
{
    auto c = make(ControllerConfig{});
    Controller::callback(liblumo::EV_CHANNEL_STARTED, nullptr, c.get(), liblumo::ERR_NONE);
    EXPECT_FALSE(c->waitChannelsStopped(1, std::chrono::milliseconds(10)));
    std::thread channel([&] {
        Controller::callback(liblumo::EV_CHANNEL_STOPPED, nullptr, c.get(), liblumo::ERR_NONE);
    });
    EXPECT_TRUE(c->waitChannelsStopped(1, std::chrono::seconds(30)));
    channel.join();
    // A device event with a null record is ignored rather than followed.
    Controller::callback(liblumo::EV_MEASUREMENT, nullptr, c.get(), liblumo::ERR_NONE);
    EXPECT_EQ(c->stats().measurements, 0u);
}

TEST(SignalWaiter, StopSignalsArriveAsValuesNotAsDeath)
{
    SignalWaiter waiter;
    EXPECT_EQ(waiter.wait(std::chrono::milliseconds(10)), 0) << "nothing pending: times out";
    ASSERT_EQ(::raise(SIGTERM), 0); // blocked, so it waits instead of ending the test
    EXPECT_EQ(waiter.wait(std::chrono::seconds(30)), SIGTERM);
    ASSERT_EQ(::raise(SIGINT), 0);
    EXPECT_EQ(waiter.wait(std::chrono::seconds(30)), SIGINT);
    ASSERT_EQ(::raise(SIGPIPE), 0); // a peer that hung up must not end the host
    EXPECT_EQ(waiter.wait(std::chrono::milliseconds(10)), 0);
}
