// The channel's device table (which connection serves a device, and when a newer one may
// take it) and its event records (clean for every event, whoever used them before).
#include "exchange/DeviceTable.h"
#include "exchange/EventRecordPool.h"

#include <gtest/gtest.h>

#include <cstring>

namespace liblumo {
namespace {

const QString kDin = QStringLiteral("000-001-234");
constexpr int64_t kSilence = DeviceTable::kTakeOverSilenceMs;

// A newcomer (connection 2) claims the DIN that connection 1 holds, `quietMs` after
// connection 1's last valid frame.
struct TakeOver {
    const char *name;
    bool firstLive;
    int64_t quietMs;
    bool leaving;
    bool allowed;
};

class TakeOverRule : public ::testing::TestWithParam<TakeOver> {};

TEST_P(TakeOverRule, OnlyFromASilentOrDepartedConnection)
{
    const TakeOver row = GetParam();
    DeviceTable table;
    com::StopSignal closer;
    const std::atomic<int64_t> lastFrame{1000};
    table.openLink(1, &closer, &lastFrame);
    table.openLink(2, nullptr, nullptr);
    DeviceEntry entry;
    table.handshake(kDin, 1, entry);
    if (row.leaving)
        table.markLeaving(kDin, 1);
    if (!row.firstLive)
        table.closeLink(1);
    EXPECT_TRUE(table.mayTakeOver(kDin, 1, 1000)); // its own connection, always
    EXPECT_EQ(table.mayTakeOver(kDin, 2, 1000 + row.quietMs), row.allowed);
    if (!row.allowed)
        return;
    EXPECT_EQ(table.handshake(kDin, 2, entry), row.firstLive ? 1u : 0u);
    EXPECT_EQ(closer.isRaised(), row.firstLive); // the older connection is closed
    EXPECT_EQ(table.dinsOnLink(2), QStringList{kDin});
    EXPECT_FALSE(table.hasDevicesOnLink(1));
    EXPECT_FALSE(table.copyEntry(kDin, 1, entry)); // the older one can no longer serve it
}

INSTANTIATE_TEST_SUITE_P(
    DeviceTable, TakeOverRule,
    ::testing::Values(TakeOver{"talking", true, kSilence - 1, false, false},
                      TakeOver{"silent", true, kSilence, false, true},
                      TakeOver{"letting it go", true, 0, true, true},
                      TakeOver{"connection gone", false, 0, false, true}),
    [](const auto &info) {
        std::string name = info.param.name;
        for (char &c : name)
            c = c == ' ' ? '_' : c;
        return name;
    });

// Whatever the library or the host wrote into a record, the next borrower sees zero but
// for its DIN, in every field the record's rules let either side write.
TEST(EventRecordPool, ABorrowedRecordIsCleanWhoeverUsedItBefore)
{
    EventRecordPool pool;
    {
        EventRecordPool::Lease first = pool.borrow(kDin);
        lumo_EventData &used = first.record();
        first.notePayloadUsed(sizeof(Measurement));
        std::memset(used.payload, 0xA5, sizeof(Measurement));
        used.reserved = 7;
        used.answer = 3;
        used.answerLength = 100;
        std::memset(used.answerData, 0x5A, sizeof used.answerData);
    }
    EXPECT_EQ(pool.kept(), 1u);
    EventRecordPool::Lease second = pool.borrow(QStringLiteral("000-000-042"));
    lumo_EventData expected{};
    std::memcpy(expected.din, "000-000-042", 11);
    EXPECT_EQ(std::memcmp(&expected, second.get(), sizeof expected), 0);
    EXPECT_EQ(pool.kept(), 0u);
}

} // namespace
} // namespace liblumo
