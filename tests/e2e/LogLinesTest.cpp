// The exchange's log lines, as a support engineer reads them in the "default" category.
#include "Fixtures.h"
#include "LogCapture.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <mutex>

namespace e2e {
namespace {

using namespace liblumo;

const std::string kDinText = "000-001-234";
const std::string kSeparator(81, '-');

bool fromExchange(const std::string &line)
{
    for (const char *prefix : {"_threadExchange", "Added deviced", "state EXCHANGE", " >>> ",
                               "doSyncParams", "Exchange::doDataTransfer"})
        if (line.rfind(prefix, 0) == 0)
            return true;
    return false;
}

TEST(LogLines, TheExchangeNarratesEachStep)
{
    if (!QLoggingCategory::defaultCategory()->isInfoEnabled())
        GTEST_SKIP() << "info lines are switched off by the logging rules";
    LogCapture capture;
    HostRecorder host;
    host.accept(kDinText);
    DeviceParams params{};
    params.crc16 = 0x00AF;
    host.script(kDinText, {syncWith(params), act(DATA_TRANSFER), act(CALIBRATION), act(EXIT)});
    auto channel = Channel::tcp(host);
    SimRun run(oneDevice(device(1234, 2, 1, 10)));
    ASSERT_TRUE(run.overTcp(channel->port()));
    ASSERT_TRUE(run.tap.waitHostClosed(kEventWaitMs)) << host.trace();
    channel->stop();

    std::vector<std::string> all;
    for (const QString &line : capture.linesOf(QtInfoMsg))
        all.push_back(line.toStdString());
    std::vector<std::string> exchange;
    for (const std::string &line : all)
        if (fromExchange(line))
            exchange.push_back(line);
    const std::string din = "\"000-001-234\"";
    EXPECT_EQ(exchange, (std::vector<std::string>{
                            "_threadExchange start",
                            "Added deviced  " + din,
                            "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
                            " >>> RequestAction::SYNC for DIN: " + din,
                            "state EXCHANGE_START_SYNC for DIN: " + din,
                            "doSyncParams rxCrc16 \"1234\" Crd16 \"00AF\"",
                            "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
                            " >>> RequestAction::DATA_TRANSFER for DIN: " + din,
                            "state EXCHANGE_START_DATA_TRANSFER for DIN: " + din,
                            "Exchange::doDataTransfer 1 of 2",
                            "Exchange::doDataTransfer 2 of 2",
                            "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
                            " >>> RequestAction::CALIBRATION for DIN: " + din,
                            "state EXCHANGE_REQUEST_ACTION for DIN: " + din,
                            " >>> RequestAction::EXIT for DIN: " + din,
                            "_threadExchange exit",
                        }));
    // The device's entry opens with a separator line.
    const auto added = std::find(all.begin(), all.end(), "Added deviced  " + din);
    ASSERT_NE(added, all.end());
    ASSERT_NE(added, all.begin());
    EXPECT_EQ(*(added - 1), kSeparator);
}

} // namespace
} // namespace e2e
