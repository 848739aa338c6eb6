// Measurements of many connections committed in groups: a group forms while the previous
// one is being written, a failed group refuses every measurement in it, and a callback
// reports a measurement stored only once its group is on disk.
#include "CollectTestSupport.h"
#include "Controller.h"
#include "GroupWriter.h"
#include "ProcessRunner.h"
#include "SqliteStorage.h"
#include "StatusLine.h"

#include <condition_variable>
#include <set>
#include <thread>

using namespace lumo_collect;
using namespace collect_test;
using namespace std::chrono_literals;

namespace {

constexpr auto kBound = 60s; // generous: a loaded two-core machine

// Records every group it is handed; holds the first one until opened, and fails the
// groups it is told to.
class GateStorage : public Storage {
public:
    std::vector<StoreOutcome> storeMeasurements(const std::vector<MeasurementRecord *> &group,
                                                std::string &error) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        groups_.push_back(group.size());
        opened_.wait(lock, [&] { return open_; });
        if (groups_.size() == failGroup) {
            error = "disk full";
            return std::vector<StoreOutcome>(group.size(), StoreOutcome::Failed);
        }
        for (MeasurementRecord *m : group)
            m->id = ++lastId_;
        return std::vector<StoreOutcome>(group.size(), StoreOutcome::Stored);
    }
    void openGate()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    StoreOutcome storeMeasurement(MeasurementRecord &) override { return StoreOutcome::Failed; }
    bool deviceSeen(const std::string &, const std::string &) override { return true; }
    bool storeSync(const SyncRecord &) override { return true; }
    bool probeWrite() override { return true; }
    bool loadMeasurement(const std::string &, long, MeasurementRecord &, std::string &) override
    {
        return false;
    }
    std::vector<MeasurementSummary> listMeasurements(const std::string &) override { return {}; }
    std::string lastError() const override { return {}; }

    std::vector<std::size_t> groups()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return groups_;
    }

    std::size_t failGroup = 0; // 1-based; 0: none fails

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    std::vector<std::size_t> groups_; // sizes, in order
    bool open_ = false;
    int64_t lastId_ = 0;
};

} // namespace

// The first measurement is being written while seven more arrive: they make one group,
// and they all share its outcome.
TEST(GroupWriter, WaitingMeasurementsShareOneTransaction)
{
    constexpr std::size_t kLater = 7;
    for (const std::size_t failGroup : {std::size_t{0}, std::size_t{2}}) {
        SCOPED_TRACE(failGroup ? "second group fails" : "all commit");
        GateStorage storage;
        storage.failGroup = failGroup;
        std::vector<std::string> failures;
        WriterHooks hooks;
        hooks.failed = [&](const std::string &why) { failures.push_back(why); };
        GroupWriter writer(storage, hooks);

        std::vector<MeasurementRecord> records(kLater + 1);
        std::vector<StoreOutcome> outcomes(kLater + 1, StoreOutcome::Repeat);
        std::vector<std::thread> callers;
        callers.emplace_back([&] {
            std::string why;
            outcomes[0] = writer.store(records[0], why);
        });
        ASSERT_TRUE(
            waitFor([&] { return writer.waiting() == 0 && !storage.groups().empty(); }, kBound));
        for (std::size_t i = 1; i <= kLater; ++i)
            callers.emplace_back([&, i] {
                std::string why;
                outcomes[i] = writer.store(records[i], why);
                if (outcomes[i] == StoreOutcome::Failed) {
                    EXPECT_EQ(why, "disk full");
                }
            });
        ASSERT_TRUE(waitFor([&] { return writer.waiting() == kLater; }, kBound));
        storage.openGate();
        for (auto &t : callers)
            t.join();

        EXPECT_EQ(storage.groups(), (std::vector<std::size_t>{1, kLater}));
        EXPECT_EQ(outcomes[0], StoreOutcome::Stored);
        for (std::size_t i = 1; i <= kLater; ++i)
            EXPECT_EQ(outcomes[i], failGroup ? StoreOutcome::Failed : StoreOutcome::Stored) << i;
        EXPECT_EQ(failures.size(), failGroup ? 1u : 0u);
    }
}

TEST(GroupWriter, PausedWriterRefusesWithoutWriting)
{
    GateStorage storage;
    storage.openGate();
    WriterHooks hooks;
    hooks.paused = [] { return true; };
    GroupWriter writer(storage, hooks);
    MeasurementRecord m;
    std::string why;
    EXPECT_EQ(writer.store(m, why), StoreOutcome::Failed);
    EXPECT_EQ(why, "storage is down");
    EXPECT_TRUE(storage.groups().empty());
}

// Devices on connections of their own deliver at once while one measurement cannot be
// committed: every measurement the host acknowledged is in the database, every refused
// one is not (the device keeps it), and the status line counts the live connections.
TEST(GroupCommit, ConcurrentConnectionsAcknowledgeOnlyWhatIsCommitted)
{
    constexpr int kConnections = 6;
    constexpr uint32_t kPerConnection = 20;
    const std::string failingDin = "000-000-002";
    constexpr uint32_t kFailingTypeset = 10;
    TempDir dir;
    const std::string db = dir.file("g.db");
    std::string error;
    auto storage = SqliteStorage::open(db, OpenOptions{}, error);
    ASSERT_TRUE(storage) << error;
    ASSERT_TRUE(execSql(db, "CREATE TRIGGER fail BEFORE INSERT ON measurements WHEN NEW.din = '" +
                                failingDin +
                                "' AND NEW.typeset = " + std::to_string(kFailingTypeset) +
                                " BEGIN SELECT RAISE(ABORT, 'disk full'); END;"));
    Sinks sinks;
    sinks.storage = storage.get();
    Controller c(ControllerConfig{}, sinks);

    std::mutex mutex;
    std::condition_variable allAdded;
    int added = 0;
    std::set<std::string> acknowledged; // "din typeset"
    std::set<std::string> refused;
    std::vector<std::thread> connections;
    for (int n = 0; n < kConnections; ++n) {
        connections.emplace_back([&, n] {
            const std::string din = "000-000-00" + std::to_string(n);
            auto r = record(din);
            Controller::callback(liblumo::EV_DEVICE_ADDED, r.get(), &c, liblumo::ERR_NONE);
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++added;
                allAdded.notify_all();
                allAdded.wait(lock, [&] { return added > kConnections; }); // the test's go
            }
            for (uint32_t t = 1; t <= kPerConnection; ++t) {
                r = record(din);
                putMeasurement(*r, kPacked20240517, t, 2, 1, {7, static_cast<uint16_t>(n)});
                Controller::callback(liblumo::EV_MEASUREMENT, r.get(), &c, liblumo::ERR_NONE);
                std::lock_guard<std::mutex> lock(mutex);
                (r->answer == 0 ? acknowledged : refused).insert(din + " " + std::to_string(t));
            }
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(allAdded.wait_for(lock, kBound, [&] { return added == kConnections; }));
        EXPECT_EQ(c.stats().liveConnections, std::size_t{kConnections});
        EXPECT_NE(formatStatusLine(c.stats(), 1).find("connections 6 |"), std::string::npos);
        ++added;
        allAdded.notify_all();
    }
    for (auto &t : connections)
        t.join();

    std::set<std::string> stored;
    for (const auto &row : query(db, "SELECT din || ' ' || typeset FROM measurements"))
        stored.insert(row[0]);
    EXPECT_EQ(stored, acknowledged);
    EXPECT_EQ(refused.count(failingDin + " " + std::to_string(kFailingTypeset)), 1u);
    EXPECT_EQ(acknowledged.size() + refused.size(), std::size_t{kConnections * kPerConnection});
    const Stats s = c.stats();
    EXPECT_EQ(s.measurements, acknowledged.size());
    EXPECT_EQ(s.refusedMeasurements, refused.size());
    EXPECT_TRUE(s.storageDown);
    EXPECT_EQ(s.liveConnections, 0u) << "their threads have ended";
    EXPECT_EQ(s.peakConnections, std::size_t{kConnections});
}
