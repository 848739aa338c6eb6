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

bool Exchange::doSyncParams(ExchangeContext &context, const QString &din, uint16_t rxCrc16,
                            uint8_t *statusOut, const DeviceParams &params)
{
    DeviceStatus status{};
    if (!context.protocol->getDeviceStatus(status, kCommandTimeoutMs))
        return false;
    std::memcpy(statusOut, &status, sizeof status);

    LUMO_INFO << "doSyncParams rxCrc16" << crcText(rxCrc16) << "Crd16" << crcText(params.crc16);
    if (params.crc16 == rxCrc16)
        return true;

    // A stop request starts no further command: the device keeps its old settings.
    if (context.stopRequested())
        return false;
    if (!context.protocol->setDateTime(QDateTime::currentDateTime().toUTC()))
        return false;
    if (context.stopRequested())
        return false;
    const DeviceParams written = params;
    if (!context.protocol->setDeviceParams(written, kCommandTimeoutMs))
        return false;

    EventRecordPool::Lease event = context.records->borrow(din);
    context.raise(EV_PARAMS_UPDATED, event.get());
    return true;
}

} // namespace liblumo
