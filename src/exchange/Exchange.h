// The two long device actions the exchange runs for one device: parameter
// synchronisation and measurement transfer. Each works on the exchange context it is
// given and keeps nothing between calls.
#ifndef LIBLUMO_EXCHANGE_EXCHANGE_H
#define LIBLUMO_EXCHANGE_EXCHANGE_H

#include "liblumo.h"

#include <QString>

#include <cstdint>
#include <memory>

namespace liblumo {

struct ExchangeContext;

class Exchange {
public:
    // The time-out every device command of the exchange is given.
    static constexpr int kCommandTimeoutMs = 30000;
    // Count requests one transfer makes at most: a device that keeps reporting more (it
    // measures while it is read) does not hold the connection for ever.
    static constexpr int kMaxCountRounds = 8;

    // Reads the device status into statusOut (a DeviceStatus, written only when it was
    // read). When the host's CRC differs from the device's, writes the current UTC clock
    // and the host's parameters into the device and raises EV_PARAMS_UPDATED.
    // True when synchronised.
    static bool doSyncParams(ExchangeContext &context, const QString &din, uint16_t rxCrc16,
                             uint8_t *statusOut, const DeviceParams &params);

    // Fetches every stored measurement and raises EV_MEASUREMENT for each one that
    // carries counts or samples; each is acknowledged to the device only once the host
    // kept it. A measurement the device sends again right after it was handed over (it
    // missed our ACK of its last frame and kept it) is acknowledged again and neither
    // handed over nor counted twice. The count is asked again after each round, so true
    // only once the device says it holds nothing (the ACK of the last frame may have been
    // lost). False when a count request or a retrieval failed, the host refused a
    // measurement, a stop request cut the transfer short, or the device still reported
    // measurements after kMaxCountRounds rounds.
    static bool doDataTransfer(ExchangeContext &context, const QString &din);

private:
    // Raises EV_MEASUREMENT with the measurement already in the record's payload and its
    // sample count; true when the host kept it (left `answer` at 0).
    static bool handOver(ExchangeContext &context, const QString &din, int samples,
                         lumo_EventData &event);

};

// Copies the DIN's UTF-8 bytes (at most 11) into the record's `din`, zero after them.
void copyDin(lumo_EventData &record, const QString &din);

} // namespace liblumo

#endif
