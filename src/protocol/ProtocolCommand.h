// Command codes of the device protocol.
#ifndef LIBLUMO_PROTOCOL_PROTOCOLCOMMAND_H
#define LIBLUMO_PROTOCOL_PROTOCOLCOMMAND_H

#include <cstdint>

namespace liblumo {

enum ProtocolCommand : uint8_t {
    CMD_HANDSHAKE = 0x01,                 // in, then echoed out
    CMD_SLEEP = 0x91,                     // out, ACK only
    CMD_REAL_TIME = 0x92,                 // out, answered by a 0x92 frame
    CMD_KEEP_ALIVE = 0xF1,                // out, answered by a 0xF1 frame
    CMD_SET_DATE_TIME = 0xA1,             // out, ACK only
    CMD_SET_DEVICE_PARAMS = 0xA2,         // out, ACK only
    CMD_GET_DEVICE_PARAMS = 0xA3,         // out, answered by a 0xA3 frame
    CMD_GET_DEVICE_STATUS = 0xA4,         // out, answered by a 0xA4 frame
    CMD_GET_AVAILABLE_MEASUREMENT = 0xB0, // out, answered by a 0xB0 frame
    CMD_RETRIEVE_NEXT_MEASUREMENT = 0xB1, // out, answered by 0x81 then 0x82 frames
    CMD_MEASUREMENT_HEADER = 0x81,        // in
    CMD_MEASUREMENT_BLOCK = 0x82,         // in
};

// Control bytes, sent alone.
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kStx = 0x02;

} // namespace liblumo

#endif
