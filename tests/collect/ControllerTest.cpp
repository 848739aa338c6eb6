// The host's side of the conversation, driven with event records as the library raises them.
#include "Controller.h"
#include "CollectTestSupport.h"
#include "SqliteStorage.h"
#include "StatusLine.h"

#include <algorithm>
#include <functional>
#include <mutex>

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
    static void raise(Controller &c, liblumo::lumo_Event event, lumo_EventData &r)
    {
        Controller::callback(event, &r, &c, liblumo::ERR_NONE);
    }
    static uint32_t raise(Controller &c, liblumo::lumo_Event event, const std::string &din = kDin)
    {
        auto r = record(din);
        raise(c, event, *r);
        return r->answer;
    }
    static uint32_t ask(Controller &c, const std::string &din = kDin)
    {
        return raise(c, liblumo::EV_REQUEST_ACTION, din);
    }
    static uint32_t measure(Controller &c, uint32_t typeset, const std::vector<uint16_t> &samples)
    {
        auto r = record(kDin);
        putMeasurement(*r, kPacked20240517, typeset, uint16_t(samples.size()), 1, samples);
        raise(c, liblumo::EV_MEASUREMENT, *r);
        return r->answer;
    }
    std::string db() const { return dir_.file("c.db"); }
    std::size_t linesContaining(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(linesMutex_);
        return std::count_if(lines_.begin(), lines_.end(), [&](const std::string &l) {
            return l.find(text) != std::string::npos;
        });
    }

    TempDir dir_;
    std::unique_ptr<SqliteStorage> storage_;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

ControllerConfig withParams()
{
    ControllerConfig config;
    config.params = liblumo::DeviceParams{};
    config.params->crc16 = 0xBEEF;
    return config;
}

} // namespace

TEST_F(ControllerTest, PlanFollowsTheOptionsAndStartsOverOnEveryHandshake)
{
    auto c = make(withParams());
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::SYNC});
    EXPECT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::SYNC});
    raise(*c, liblumo::EV_DEVICE_ADDED, "000-001-235"); // devices keep plans of their own
    EXPECT_EQ(ask(*c, "000-001-235"), uint32_t{liblumo::SYNC});
    EXPECT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
    EXPECT_EQ(ask(*c), uint32_t{liblumo::SLEEP});
    EXPECT_TRUE(c->stats().devicesDone == 1 && c->stats().devicesSeen == 2);

    for (const FinalStep last : {FinalStep::Exit, FinalStep::Hold}) {
        ControllerConfig config;
        config.finalStep = last;
        auto e = make(config);
        raise(*e, liblumo::EV_DEVICE_ADDED);
        EXPECT_EQ(ask(*e), uint32_t{liblumo::DATA_TRANSFER}) << "no parameters: no SYNC";
        const bool hold = last == FinalStep::Hold;
        EXPECT_EQ(ask(*e), uint32_t(hold ? liblumo::CONTROL : liblumo::EXIT));
        EXPECT_EQ(e->stats().devicesDone, hold ? 0u : 1u) << "a held device is never finished";
        if (hold) {
            EXPECT_EQ(ask(*e), uint32_t{liblumo::CONTROL});
            raise(*e, liblumo::EV_KEEPALIVE_FAILED);
            EXPECT_EQ(e->stats().devicesDone, 1u);
        }
    }
}

TEST_F(ControllerTest, AcceptListRefusesOthersAndSaysSoOnce)
{
    ControllerConfig config;
    config.accept = {kDin};
    auto c = make(config);
    EXPECT_NE(raise(*c, liblumo::EV_DEVICE_HANDSHAKE) & 0xFF, 0u);
    EXPECT_EQ(raise(*c, liblumo::EV_DEVICE_HANDSHAKE, "999-999-999"), 0u);
    EXPECT_EQ(raise(*c, liblumo::EV_DEVICE_HANDSHAKE, "999-999-999"), 0u);
    EXPECT_EQ(c->stats().refused, 1u);
    EXPECT_EQ(linesContaining("refused device 999-999-999"), 1u);
    auto open = make(ControllerConfig{});
    EXPECT_NE(raise(*open, liblumo::EV_DEVICE_HANDSHAKE, "999-999-999") & 0xFF, 0u);
}

TEST_F(ControllerTest, StoresTheSamplesThatArrivedNotTheHeadersClaim)
{
    auto c = make(ControllerConfig{});
    EXPECT_EQ(measure(*c, 9, {0x0102, 0xFFFF, 0x8000}), 0u) << "stored: acknowledged";
    raise(*c, liblumo::EV_TRANSFER_DONE);
    EXPECT_EQ(linesContaining("transfer done, 1 measurement"), 1u);
    struct Case {
        uint32_t arrived; // the record's `reserved`
        uint16_t ns;
        std::string expected; // sample_count, blob length, last stored sample
    };
    const Case cases[] = {
        {3, 100, "3 6 0080"},                 // header claims more than arrived
        {2, 1, "2 4 FFFF"},                   // header claims fewer
        {0, 5, "0 0 "},                       // nothing arrived
        {65536, 0xFFFF, "65536 131072 AB00"}, // the record's whole room
        {70000, 0xFFFF, "65536 131072 AB00"}, // more than the record holds
    };
    uint32_t typeset = 100;
    for (const Case &k : cases) {
        auto r = record(kDin);
        putMeasurement(*r, kPacked20240517, ++typeset, k.ns, 1, {0x0102, 0xFFFF, 0x8000});
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

TEST_F(ControllerTest, SyncResultsAreStoredWithTheStatus)
{
    auto c = make(withParams());
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::SYNC});
    raise(*c, liblumo::EV_PARAMS_UPDATED);
    auto done = record(kDin);
    // status32a at 0, status32b 4, status16a 8, deviceTime 12, status16b 16..29.
    putLe(done->payload + 0, 0x01020304, 4);
    putLe(done->payload + 4, 5, 4);
    putLe(done->payload + 8, 6, 2);
    putLe(done->payload + 12, 1715953530, 4);
    putLe(done->payload + 16, 100, 2);
    putLe(done->payload + 28, 700, 2);
    raise(*c, liblumo::EV_SYNC_DONE, *done);
    // A second SYNC fails before the status was read: no status stored.
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::SYNC});
    raise(*c, liblumo::EV_ACTION_FAILED);

    const auto rows = query(db(), "SELECT ok, params_written, host_crc16, status32a, status32b, "
                                  "status16a, device_time, status16b FROM syncs ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", "1", "48879", "16909060", "5", "6",
                                                 "1715953530", "[100,0,0,0,0,0,700]"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"0", "0", "48879", "NULL", "NULL", "NULL", "NULL",
                                                 "NULL"}));
    EXPECT_EQ(scalar(db(), "SELECT json_extract(last_status, '$.deviceTime') || ' ' || "
                           "json_extract(last_status, '$.status32a') FROM devices"),
              "1715953530 16909060");
    EXPECT_TRUE(c->stats().syncsOk == 1 && c->stats().syncsFailed == 1);
    EXPECT_EQ(c->stats().transfersFailed, 0u) << "a failed SYNC is not a failed transfer";
}

TEST_F(ControllerTest, FailedTransferKeepsWhatArrivedAndIsHeldAgainstTheRunUnlessStopping)
{
    auto c = make(ControllerConfig{});
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
    measure(*c, 1, {42});
    raise(*c, liblumo::EV_ACTION_FAILED);
    EXPECT_TRUE(c->stats().transfersFailed == 1 && c->stats().failuresBeforeStop == 1);
    EXPECT_EQ(linesContaining("transfer FAILED after 1 measurement"), 1u);
    EXPECT_EQ(scalar(db(), "SELECT COUNT(*) FROM measurements"), "1");
    c->beginStop(); // a transfer cut short by the stop is not held against the run
    raise(*c, liblumo::EV_DEVICE_ADDED);
    EXPECT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
    raise(*c, liblumo::EV_ACTION_FAILED);
    EXPECT_TRUE(c->stats().transfersFailed == 2 && c->stats().failuresBeforeStop == 1);
}

// A store that fails: measurements are refused (the device keeps them), no transfer is asked
// for until a probe write succeeds, then the owed transfers follow.
TEST_F(ControllerTest, StorageFailureRefusesAndPausesTransfersUntilItWorksAgain)
{
    using Mend = std::function<void()>;
    // A locked store takes the same path: EndToEnd.StorageFailureLeavesTheMeasurementsOnTheDevice.
    const std::vector<std::pair<std::string, std::function<Mend(const std::string &)>>> cases = {
        {"full",
         [](const std::string &db) -> Mend {
             fillUp(db + ".filler");
             return [db] { std::filesystem::remove(db + ".filler"); };
         }},
        {"read-only", [](const std::string &) { return Mend{}; }},
    };
    for (const auto &[what, breakIt] : cases) {
        SCOPED_TRACE(what);
        lines_.clear();
        const std::string folder = dir_.file(what);
        PrivateMount tiny(folder, "2m");
        if (what == "full" && !tiny.ok()) {
            std::printf("full: not run, %s\n", tiny.why().c_str());
            continue;
        }
        const std::string path = folder + "/c.db";
        std::string error;
        OpenOptions options;
        ASSERT_TRUE(SqliteStorage::open(path, options, error)) << error; // creates it
        options.access = what == "read-only" ? Access::Read : Access::Write;
        auto store = SqliteStorage::open(path, options, error);
        ASSERT_TRUE(store) << error;
        ControllerConfig config;
        config.finalStep = FinalStep::Hold;
        config.storageProbeInterval = std::chrono::milliseconds(0);
        auto c = make(config, store.get());

        // No handshake: its device row would be a write the read-only store fails early.
        ASSERT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
        const Mend mend = breakIt(path);
        for (uint32_t typeset = 1; typeset <= 2; ++typeset)
            EXPECT_EQ(measure(*c, typeset, {42}), liblumo::kRefuseMeasurement) << typeset;
        raise(*c, liblumo::EV_ACTION_FAILED);
        EXPECT_EQ(linesContaining("STORAGE FAILED"), 1u);
        EXPECT_TRUE(c->stats().storageDown);
        EXPECT_EQ(c->stats().refusedMeasurements, 2u);
        EXPECT_NE(formatStatusLine(c->stats(), 1).find("STORAGE DOWN"), std::string::npos);

        raise(*c, liblumo::EV_DEVICE_ADDED, "000-000-002");
        c->probeStorage();
        EXPECT_EQ(ask(*c), uint32_t{liblumo::CONTROL}) << "the owed transfer waits";
        EXPECT_EQ(ask(*c, "000-000-002"), uint32_t{liblumo::CONTROL}) << "so does a new one";
        EXPECT_EQ(c->stats().transfersSkipped, 1u);
        if (!mend) {
            EXPECT_TRUE(c->stats().storageDown);
            continue;
        }
        mend();
        c->probeStorage();
        EXPECT_FALSE(c->stats().storageDown);
        EXPECT_EQ(linesContaining("storage works again"), 1u);
        EXPECT_EQ(ask(*c), uint32_t{liblumo::DATA_TRANSFER});
        EXPECT_EQ(ask(*c, "000-000-002"), uint32_t{liblumo::DATA_TRANSFER});
        EXPECT_EQ(measure(*c, 1, {42}), 0u);
        EXPECT_EQ(scalar(path, "SELECT COUNT(*) FROM measurements"), "1");
    }
}

TEST_F(ControllerTest, OddRecordsAreReadWithinTheirBounds)
{
    auto c = make(ControllerConfig{});
    auto r = record("");
    std::memset(r->din, '7', liblumo::kDinSize); // no terminator: the payload follows
    raise(*c, liblumo::EV_DEVICE_ADDED, *r);
    EXPECT_EQ(scalar(db(), "SELECT din FROM devices"), std::string(liblumo::kDinSize, '7'));

    Controller::callback(liblumo::EV_MEASUREMENT, nullptr, c.get(), liblumo::ERR_NONE);
    EXPECT_EQ(c->stats().measurements, 0u) << "a device event without record is ignored";
}
