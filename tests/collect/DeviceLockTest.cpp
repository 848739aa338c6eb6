// Several collectors on one store: a device another collector holds is let go without a
// transfer, and every lock taken is given back when the session ends, however it ends.
#include "DeviceLock.h"
#include "CollectTestSupport.h"
#include "Controller.h"
#include "PgDeviceLock.h"
#include "SqliteStorage.h"

#include <map>

using namespace lumo_collect;
using namespace collect_test;

namespace {

const std::string kDin = "000-001-234";

// Answers acquire from a script (Acquired once the script runs out) and counts the calls.
class ScriptedLock : public DeviceLock {
public:
    std::vector<LockOutcome> script;
    std::map<std::string, int> held; // DIN -> times held now (0 or 1)
    int acquires = 0, releases = 0;

    LockOutcome acquire(const std::string &din) override
    {
        ++acquires;
        const LockOutcome o = script.empty() ? LockOutcome::Acquired : script.front();
        if (!script.empty())
            script.erase(script.begin());
        held[din] = o == LockOutcome::Acquired;
        return o;
    }
    void release(const std::string &din) override
    {
        releases += held[din];
        held[din] = 0;
    }
    std::string lastError() const override { return "server gone"; }
};

struct Rig {
    Rig(ControllerConfig config = {})
    {
        std::string error;
        storage = SqliteStorage::open(dir.file("l.db"), OpenOptions{}, error);
        Sinks sinks;
        sinks.storage = storage.get();
        sinks.lock = &lock;
        sinks.say = [this](const std::string &line) { lines.push_back(line); };
        controller = std::make_unique<Controller>(config, sinks);
    }
    uint32_t raise(liblumo::lumo_Event event)
    {
        auto r = record(kDin);
        Controller::callback(event, r.get(), controller.get(), liblumo::ERR_NONE);
        return r->answer;
    }
    uint32_t ask() { return raise(liblumo::EV_REQUEST_ACTION); }

    TempDir dir;
    std::unique_ptr<SqliteStorage> storage;
    ScriptedLock lock;
    std::vector<std::string> lines;
    std::unique_ptr<Controller> controller;
};

} // namespace

TEST(DeviceLock, DeviceHeldElsewhereOrUnlockableIsLetGoAndServedOnItsNextCall)
{
    for (LockOutcome refusal : {LockOutcome::HeldElsewhere, LockOutcome::Failed}) {
        Rig rig;
        rig.lock.script = {refusal};
        rig.raise(liblumo::EV_DEVICE_ADDED);
        EXPECT_EQ(rig.ask(), uint32_t{liblumo::EXIT});
        EXPECT_EQ(rig.controller->stats().devicesLetGo, 1u);
        EXPECT_EQ(scalar(rig.dir.file("l.db"), "SELECT COUNT(*) FROM devices"), "0");
        ASSERT_EQ(rig.lines.size(), 1u);
        EXPECT_NE(rig.lines[0].find("let go without a transfer (EXIT)"), std::string::npos);
        // The next call: the lock is free, the plan runs and gives it back at its end.
        rig.raise(liblumo::EV_DEVICE_ADDED);
        EXPECT_EQ(rig.ask(), uint32_t{liblumo::DATA_TRANSFER});
        rig.raise(liblumo::EV_TRANSFER_DONE);
        EXPECT_EQ(rig.ask(), uint32_t{liblumo::SLEEP});
        EXPECT_TRUE(rig.lock.acquires == 2 && rig.lock.releases == 1 && !rig.lock.held[kDin]);
    }
}

TEST(DeviceLock, EveryEndOfASessionGivesTheLockBack)
{
    using Ending = std::function<void(Rig &)>;
    const std::vector<std::pair<const char *, Ending>> endings = {
        {"slept", [](Rig &r) { r.raise(liblumo::EV_TRANSFER_DONE), r.ask(); }},
        {"transfer failed", [](Rig &r) { r.raise(liblumo::EV_ACTION_FAILED); }},
        {"keep-alive failed", [](Rig &r) { r.raise(liblumo::EV_KEEPALIVE_FAILED); }},
        {"went quiet",
         [](Rig &r) {
             r.raise(liblumo::EV_TRANSFER_DONE);
             r.controller->releaseIdleLocks();
         }},
    };
    for (const auto &[name, end] : endings) {
        ControllerConfig c;
        c.finalStep = std::string(name) == "slept" ? FinalStep::Sleep : FinalStep::Hold;
        c.lockIdleRelease = std::chrono::milliseconds(0);
        Rig rig(c);
        rig.raise(liblumo::EV_DEVICE_ADDED);
        EXPECT_EQ(rig.ask(), uint32_t{liblumo::DATA_TRANSFER}) << name;
        rig.controller->releaseIdleLocks(); // a transfer under way keeps its lock
        EXPECT_EQ(rig.lock.releases, 0) << name;
        end(rig);
        EXPECT_EQ(rig.lock.releases, 1) << name;
        EXPECT_EQ(rig.lock.held[kDin], 0) << name;
    }
}

TEST(DeviceLock, KeyIsTheDinNumberBelowLumoOrAHashForOtherText)
{
    // "LUMO" = 0x4C554D4F; 123-456-001 = 123456001 = 0x075BCA01.
    EXPECT_EQ(dinLockKey("123-456-001"), 0x4C554D4F075BCA01LL);
    EXPECT_EQ(dinLockKey("000-000-000"), 0x4C554D4F00000000LL);
    EXPECT_EQ(dinLockKey("4294-967-295"), 0x4C554D4FFFFFFFFFLL);
    // Past 32 bits or not digits: FNV-1a 64 of the text ("a" hashes to 0xaf63dc4c8601ec8c).
    EXPECT_EQ(dinLockKey("a"), static_cast<long long>(0xaf63dc4c8601ec8cULL));
    EXPECT_NE(dinLockKey("4294-967-296"), 0x4C554D4F00000000LL);
}
