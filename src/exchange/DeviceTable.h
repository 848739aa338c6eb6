// The devices of one channel: an ordered map from DIN text to the state of the device's
// conversation. Each channel owns its table, so channels never share device state. An
// entry outlives the link its device handshook on, so a device that calls again goes on
// where it was; until it does, its entry rests.
#ifndef LIBLUMO_EXCHANGE_DEVICETABLE_H
#define LIBLUMO_EXCHANGE_DEVICETABLE_H

#include "liblumo.h"

#include <QString>

#include <cstdint>
#include <map>

namespace liblumo {

enum ExchangeState : int32_t {
    EXCHANGE_REQUEST_ACTION = 0,      // ask the host what to do next
    EXCHANGE_START_SYNC = 1,          // synchronise clock and parameters
    EXCHANGE_START_DATA_TRANSFER = 2, // transfer the stored measurements
};

struct DeviceEntry {
    uint16_t handshakeWord = 0;
    uint16_t rxCrc16 = 0; // the device's parameter CRC from its handshake
    ExchangeState state = EXCHANGE_REQUEST_ACTION;
    int64_t keepAliveDeadline = -1; // monotonic ms; -1 = none
    uint32_t keepAliveSeq = 0;
    DeviceParams params{}; // the host's parameters from its last SYNC answer
    // The link the device last handshook on: it is served only over that link, so no
    // command meant for it reaches another device that connected after it.
    uint64_t link = 0;
};

using DeviceTable = std::map<QString, DeviceEntry>;

} // namespace liblumo

#endif
