// Channel ids, the stop handshake and the channel thread's own events, on channels whose
// profile names no transport (so nothing but the registry and the thread is exercised).
#include "channels/ChannelRegistry.h"
#include "channels/ChannelThread.h"
#include "liblumo.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace liblumo;
using Clock = std::chrono::steady_clock;

namespace {

// A profile of a kind the library does not know: its channel only waits for its stop.
class IdleProfile : public IChannelProfile {
public:
    int getType() override { return 42; }
};

// The channel events one host received; counts those that carried data or an error.
struct EventLog {
    static int callback(lumo_Event event, void *data, void *user, lumo_ErrorCodes error)
    {
        auto *log = static_cast<EventLog *>(user);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->events.push_back(event);
        log->unusual += data != nullptr || error != ERR_NONE ? 1 : 0;
        log->changed.notify_all();
        return 0;
    }
    std::vector<lumo_Event> waitForCount(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return events.size() >= count; });
        return events;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<lumo_Event> events;
    int unusual = 0;
};

class Channels : public ::testing::Test {
protected:
    void TearDown() override
    {
        setThreadCreator(nullptr);
        ASSERT_EQ(registry::channelCount(), 0) << "a test left a channel open";
    }
    int start(EventLog &events, lumo_ErrorCodes expected = ERR_NONE)
    {
        lumo_ErrorCodes error = ERR_THREAD_START;
        const int id = lumo.startChannel(&profile, &EventLog::callback, &events, &error);
        EXPECT_EQ(error, expected);
        return id;
    }
    // Stops a channel; returns how long it took.
    Clock::duration stop(int id)
    {
        lumo_ErrorCodes error = ERR_THREAD_START;
        const auto before = Clock::now();
        lumo.stopChannel(id, &error);
        EXPECT_EQ(error, ERR_NONE);
        return Clock::now() - before;
    }

    LibLumo lumo;
    IdleProfile profile;
    EventLog log;
};

} // namespace

TEST_F(Channels, IdsCountFromOneAreNeverReusedAndRestartOnlyWhenNoneIsOpen)
{
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(start(log), i);
    stop(3);
    EXPECT_EQ(registry::findChannel(3), nullptr);
    LibLumo another; // channels are open: their records and ids stay
    EXPECT_NE(registry::findChannel(4), nullptr);
    EXPECT_EQ(start(log), 11);
    for (int id = 1; id <= 11; ++id)
        stop(id);
    LibLumo fresh; // nothing open: ids restart
    EXPECT_EQ(start(log), 1);
    stop(1);
}

TEST_F(Channels, EventsCarryNoDataStopsReturnAfterTheAcknowledgementFailedStartsLeaveNone)
{
    const int id = start(log);
    ASSERT_EQ(log.waitForCount(1).size(), 1u);
    std::vector<std::thread> stoppers; // two stops of one channel: both wait for its end
    for (int i = 0; i < 2; ++i) {
        stoppers.emplace_back([&] {
            // An idle turn lasts at most 100 ms; allow plenty for a loaded machine.
            EXPECT_LT(stop(id), std::chrono::seconds(2));
            EXPECT_EQ(log.waitForCount(0).back(), EV_CHANNEL_STOPPED);
        });
    }
    for (auto &t : stoppers)
        t.join();
    EXPECT_EQ(registry::findChannel(id), nullptr);
    EXPECT_EQ(log.waitForCount(0), (std::vector{EV_CHANNEL_STARTED, EV_CHANNEL_STOPPED}));
    EXPECT_EQ(log.unusual, 0);
    for (int unknown : {id, 9999, 0, -1}) // unknown or stopped: at once
        EXPECT_LT(stop(unknown), std::chrono::milliseconds(500)) << unknown;

    setThreadCreator( // a failed thread creation leaves no channel and raises nothing
        [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
    const int failed = start(log, ERR_THREAD_START);
    EXPECT_GT(failed, id);
    EXPECT_EQ(registry::findChannel(failed), nullptr);
    EXPECT_LT(stop(failed), std::chrono::milliseconds(500));
    EXPECT_EQ(log.waitForCount(0).size(), 2u);
    setThreadCreator(nullptr);

    // Out of descriptors: no signal could end the channel's waits, so it does not start.
    // The log stays quiet meanwhile: the sanitizers' runtime needs descriptors of its own to
    // check the logger's objects.
    QLoggingCategory::setFilterRules(QStringLiteral("default.critical=false"));
    std::vector<int> held;
    for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;)
        held.push_back(fd);
    const int starved = start(log, ERR_NO_RESOURCES);
    for (const int fd : held)
        ::close(fd);
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(registry::findChannel(starved), nullptr);
    EXPECT_EQ(log.waitForCount(0).size(), 2u);
}

TEST_F(Channels, ConcurrentStartsAndStopsGiveEachIdOnce)
{
    constexpr int kThreads = 4, kRounds = 10, kPerThread = kRounds * 2;
    std::vector<EventLog> logs(kThreads);
    std::vector<int> ids(kThreads * kPerThread);
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int *id = &ids[t * kPerThread]; id < &ids[(t + 1) * kPerThread]; id += 2) {
                id[0] = start(logs[t]);
                id[1] = start(logs[t]);
                stop(id[0]);
                stop(id[1]);
            }
        });
    }
    for (auto &t : hosts)
        t.join();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "an id was given twice";
    for (auto &threadLog : logs) {
        const auto events = threadLog.waitForCount(0);
        ASSERT_EQ(events.size(), std::size_t(kPerThread * 2));
        EXPECT_EQ(std::count(events.begin(), events.end(), EV_CHANNEL_STARTED), kPerThread);
        EXPECT_EQ(threadLog.unusual, 0);
    }
}

TEST(ChannelProfiles, TypesAndTextsOfTheOtherKindAreIgnored)
{
    SerialProfile serial;
    TCPProfile tcp;
    EXPECT_EQ(serial.getType(), 1);
    EXPECT_EQ(tcp.getType(), 3);
    EXPECT_EQ(serial.getPortName() + tcp.getServerPort(), "");
    serial.setPortName("/dev/ttyUSB0");
    serial.setServerPort("5000");
    tcp.setServerPort("5000");
    tcp.setPortName("COM1");
    EXPECT_EQ(serial.getPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(tcp.getServerPort(), "5000");
    EXPECT_EQ(serial.getServerPort() + tcp.getPortName(), "");
}
