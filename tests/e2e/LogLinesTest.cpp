// The key log lines of an exchange, as a support engineer reads them in the "default"
// category, in the order they come.
#include "Fixtures.h"
#include "LogCapture.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <algorithm>

namespace e2e {
namespace {

using namespace liblumo;

TEST(LogLines, TheExchangeNarratesEachStep)
{
    if (!QLoggingCategory::defaultCategory()->isInfoEnabled())
        GTEST_SKIP() << "info lines are switched off by the logging rules";
    LogCapture capture;
    HostRecorder host;
    host.accept("000-001-234");
    DeviceParams params{};
    params.crc16 = 0x00AF;
    host.script("000-001-234", {syncWith(params), act(DATA_TRANSFER), act(CALIBRATION)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(1234, 2, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(host.waitFor(EV_REQUEST_ACTION, 4, kEventWaitMs)) << host.trace();
    channel->stop();

    std::vector<std::string> all;
    for (const QString &line : capture.linesOf(QtInfoMsg))
        all.push_back(line.toStdString());
    const std::string din = "\"000-001-234\"";
    const std::vector<std::string> key = {
        "_threadExchange start",
        std::string(81, '-'), // the device's entry opens with a separator line
        "Added deviced  " + din,
        "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
        " >>> RequestAction::SYNC for DIN: " + din,
        "state EXCHANGE_START_SYNC for DIN: " + din,
        "doSyncParams rxCrc16 \"1234\" Crd16 \"00AF\"",
        " >>> RequestAction::DATA_TRANSFER for DIN: " + din,
        "state EXCHANGE_START_DATA_TRANSFER for DIN: " + din,
        "Exchange::doDataTransfer 1 of 2",
        "Exchange::doDataTransfer 2 of 2",
        " >>> RequestAction::CALIBRATION for DIN: " + din,
        " >>> RequestAction::EXIT for DIN: " + din,
        "_threadExchange exit",
    };
    auto at = all.begin();
    for (const std::string &line : key) {
        at = std::find(at, all.end(), line);
        ASSERT_NE(at, all.end()) << "missing or out of order: " << line;
    }
    EXPECT_EQ(*(std::find(all.begin(), all.end(), "Added deviced  " + din) - 1),
              std::string(81, '-'));
}

} // namespace
} // namespace e2e
