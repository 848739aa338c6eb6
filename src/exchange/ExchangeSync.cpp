#include "Exchange.h"

#include "exchange/ExchangeContext.h"
#include "helpers/InternalHelpers.h"
#include "helpers/Logging.h"

#include <QDateTime>

#include <cstring>

namespace liblumo {

namespace {

constexpr int kCrcDigits = 4;

QString crcText(uint16_t crc)
{
    return helpers::hexValue(crc, kCrcDigits).toUpper();
}

} // namespace

bool Exchange::doSyncParams(ExchangeContext &link, const QString &din, uint16_t rxCrc16,
                            uint8_t *statusOut, const DeviceParams &params)
{
    DeviceStatus status{};
    if (!link.protocol->getDeviceStatus(status, kCommandTimeoutMs))
        return false;
    std::memcpy(statusOut, &status, sizeof status);

    LUMO_INFO << "doSyncParams rxCrc16" << crcText(rxCrc16) << "Crd16" << crcText(params.crc16);
    if (params.crc16 == rxCrc16)
        return true;

    // A stop request starts no further command: the device keeps its old settings.
    if (link.stopRequested())
        return false;
    if (!link.protocol->setDateTime(QDateTime::currentDateTime().toUTC()))
        return false;
    if (link.stopRequested())
        return false;
    const DeviceParams written = params;
    if (!link.protocol->setDeviceParams(written, kCommandTimeoutMs))
        return false;

    const auto event = makeEventRecord(din);
    link.raise(EV_PARAMS_UPDATED, event.get());
    return true;
}

} // namespace liblumo
