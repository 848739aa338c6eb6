// Measurements of many connections committed in groups: a group forms while the previous one
// is being written, and a failed group refuses every measurement in it.
#include "CollectTestSupport.h"
#include "GroupWriter.h"

#include <condition_variable>

using namespace lumo_collect;
using namespace collect_test;

namespace {

constexpr auto kBound = std::chrono::seconds(60); // generous: a loaded two-core machine

// Records the size of every group it is handed; holds each until opened, and fails the
// group it is told to.
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
            m->id = int64_t(groups_.size());
        return std::vector<StoreOutcome>(group.size(), StoreOutcome::Stored);
    }
    void openGate()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    std::vector<std::size_t> groups()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return groups_;
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

    std::size_t failGroup = 0; // 1-based; 0: none fails

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    std::vector<std::size_t> groups_;
    bool open_ = false;
};

} // namespace

// The first measurement is being written while seven more arrive: they make one group and
// share its outcome.
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
        std::vector<std::string> whys(kLater + 1);
        std::vector<std::thread> callers;
        const auto call = [&](std::size_t i) {
            callers.emplace_back([&, i] { outcomes[i] = writer.store(records[i], whys[i]); });
        };
        call(0);
        ASSERT_TRUE(
            waitFor([&] { return writer.waiting() == 0 && !storage.groups().empty(); }, kBound));
        for (std::size_t i = 1; i <= kLater; ++i)
            call(i);
        ASSERT_TRUE(waitFor([&] { return writer.waiting() == kLater; }, kBound));
        storage.openGate();
        for (auto &t : callers)
            t.join();

        EXPECT_EQ(storage.groups(), (std::vector<std::size_t>{1, kLater}));
        EXPECT_EQ(outcomes[0], StoreOutcome::Stored);
        EXPECT_EQ(records[0].id, 1);
        for (std::size_t i = 1; i <= kLater; ++i) {
            EXPECT_EQ(outcomes[i], failGroup ? StoreOutcome::Failed : StoreOutcome::Stored) << i;
            if (failGroup)
                EXPECT_EQ(whys[i], "disk full") << i;
        }
        EXPECT_EQ(failures.size(), failGroup ? 1u : 0u);
    }

    GateStorage storage; // a paused writer refuses without writing
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
