// Channel ids, the stop handshake and the channel thread's own events, on channels whose
// profile names no transport (so nothing but the registry and the thread is exercised).
#include "channels/ChannelRegistry.h"
#include "channels/ChannelThread.h"
#include "liblumo.h"

#include <gtest/gtest.h>

#include <atomic>
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

struct RaisedEvent {
    lumo_Event event;
    bool dataWasNull;
    void *user;
    lumo_ErrorCodes error;
};

class EventLog {
public:
    static int callback(lumo_Event event, void *data, void *user, lumo_ErrorCodes error)
    {
        auto *log = static_cast<EventLog *>(user);
        std::lock_guard<std::mutex> lock(log->mutex);
        log->events.push_back({event, data == nullptr, user, error});
        log->changed.notify_all();
        return 0;
    }

    bool waitForCount(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return events.size() >= count; });
    }

    std::vector<RaisedEvent> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RaisedEvent> events;
};

class ChannelRegistryTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        setThreadCreator(nullptr);
        ASSERT_EQ(registry::channelCount(), 0) << "a test left a channel open";
    }

    int start(IChannelProfile &profile, EventLog &log)
    {
        lumo_ErrorCodes error = ERR_THREAD_START;
        const int id = lumo.startChannel(&profile, &EventLog::callback, &log, &error);
        EXPECT_EQ(error, ERR_NONE);
        return id;
    }

    void stop(int id)
    {
        lumo_ErrorCodes error = ERR_THREAD_START;
        lumo.stopChannel(id, &error);
        EXPECT_EQ(error, ERR_NONE);
    }

    LibLumo lumo;
    IdleProfile profile;
};

TEST_F(ChannelRegistryTest, IdsCountFromOneAndAreNeverReused)
{
    EventLog log;
    std::vector<int> ids;
    for (int i = 0; i < 10; ++i)
        ids.push_back(start(profile, log));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ids[i], i + 1);

    stop(3);
    EXPECT_EQ(registry::findChannel(3), nullptr);
    const int next = start(profile, log);
    EXPECT_EQ(next, 11);

    for (int id : ids)
        stop(id);
    stop(next);
}

TEST_F(ChannelRegistryTest, NewLibraryObjectRestartsIdsOnlyWhenNoChannelIsOpen)
{
    EventLog log;
    const int first = start(profile, log);
    const int second = start(profile, log);
    ASSERT_EQ(second, first + 1);

    LibLumo another; // channels are open: their records and ids stay
    EXPECT_NE(registry::findChannel(first), nullptr);
    const int third = start(profile, log);
    EXPECT_EQ(third, second + 1);
    stop(first);
    stop(second);
    stop(third);

    LibLumo fresh; // nothing open: ids restart
    const int restarted = start(profile, log);
    EXPECT_EQ(restarted, 1);
    stop(restarted);
}

TEST_F(ChannelRegistryTest, StoppingAnUnknownOrStoppedChannelReturnsAtOnce)
{
    EventLog log;
    const int id = start(profile, log);
    stop(id);

    for (int unknown : {id, 9999, 0, -1}) {
        const auto before = Clock::now();
        stop(unknown);
        EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500)) << unknown;
    }
}

TEST_F(ChannelRegistryTest, ChannelEventsCarryNoDataAndTheUserPointer)
{
    EventLog log;
    const int id = start(profile, log);
    ASSERT_TRUE(log.waitForCount(1));
    stop(id);

    // EV_CHANNEL_STOPPED has been delivered by the time stopChannel returns.
    const auto events = log.snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, EV_CHANNEL_STARTED);
    EXPECT_EQ(events[1].event, EV_CHANNEL_STOPPED);
    for (const auto &e : events) {
        EXPECT_TRUE(e.dataWasNull);
        EXPECT_EQ(e.user, &log);
        EXPECT_EQ(e.error, ERR_NONE);
    }
}

TEST_F(ChannelRegistryTest, AnIdleChannelStopsPromptly)
{
    EventLog log;
    const int id = start(profile, log);
    ASSERT_TRUE(log.waitForCount(1));
    const auto before = Clock::now();
    stop(id);
    // An idle turn lasts at most 100 ms; allow plenty for a loaded machine.
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
}

TEST_F(ChannelRegistryTest, FailedThreadCreationLeavesNoChannel)
{
    setThreadCreator(
        [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; });
    EventLog log;
    lumo_ErrorCodes error = ERR_NONE;
    const int id = lumo.startChannel(&profile, &EventLog::callback, &log, &error);
    EXPECT_EQ(error, ERR_THREAD_START);
    EXPECT_GT(id, 0);
    EXPECT_EQ(registry::findChannel(id), nullptr);

    const auto before = Clock::now();
    stop(id);
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(500));
    EXPECT_TRUE(log.snapshot().empty());
}

TEST_F(ChannelRegistryTest, TwoStopsOfOneChannelBothReturnAfterTheAcknowledgement)
{
    EventLog log;
    const int id = start(profile, log);
    ASSERT_TRUE(log.waitForCount(1));

    std::atomic<int> returned{0};
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 2; ++i) {
        stoppers.emplace_back([&] {
            stop(id);
            // Whoever returns, the channel has acknowledged and announced its end.
            EXPECT_EQ(log.snapshot().back().event, EV_CHANNEL_STOPPED);
            ++returned;
        });
    }
    for (auto &t : stoppers)
        t.join();
    EXPECT_EQ(returned.load(), 2);
    EXPECT_EQ(registry::findChannel(id), nullptr);
    EXPECT_EQ(log.snapshot().size(), 2u);
}

TEST_F(ChannelRegistryTest, ConcurrentStartsAndStopsFromSeveralThreads)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 10;
    std::vector<EventLog> logs(kThreads);
    std::vector<std::vector<int>> idsByThread(kThreads);
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const int a = start(profile, logs[t]);
                const int b = start(profile, logs[t]);
                idsByThread[t].push_back(a);
                idsByThread[t].push_back(b);
                stop(a);
                stop(b);
            }
        });
    }
    for (auto &t : hosts)
        t.join();

    std::vector<int> all;
    for (const auto &ids : idsByThread)
        all.insert(all.end(), ids.begin(), ids.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an id was given twice";
    EXPECT_EQ(all.size(), std::size_t(kThreads * kRounds * 2));

    for (auto &log : logs) {
        const auto events = log.snapshot();
        ASSERT_EQ(events.size(), std::size_t(kRounds * 2 * 2));
        int started = 0;
        for (const auto &e : events) {
            started += e.event == EV_CHANNEL_STARTED ? 1 : 0;
            EXPECT_EQ(e.user, &log);
        }
        EXPECT_EQ(started, kRounds * 2);
    }
}

TEST(ChannelProfiles, TypesAndTexts)
{
    SerialProfile serial;
    EXPECT_EQ(serial.getType(), 1);
    EXPECT_EQ(serial.getPortName(), "");
    serial.setPortName("/dev/ttyUSB0");
    serial.setServerPort("5000"); // not a TCP profile: ignored
    EXPECT_EQ(serial.getPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(serial.getServerPort(), "");

    TCPProfile tcp;
    EXPECT_EQ(tcp.getType(), 3);
    EXPECT_EQ(tcp.getServerPort(), "");
    tcp.setServerPort("5000");
    tcp.setPortName("COM1"); // not a serial profile: ignored
    EXPECT_EQ(tcp.getServerPort(), "5000");
    EXPECT_EQ(tcp.getPortName(), "");

    IChannelProfile &base = tcp;
    EXPECT_NE(dynamic_cast<TCPProfile *>(&base), nullptr);
    EXPECT_EQ(dynamic_cast<SerialProfile *>(&base), nullptr);
}

} // namespace
