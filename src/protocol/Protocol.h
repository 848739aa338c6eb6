// The device commands, on top of the link layer of one connection. The commands know
// what each frame means; they do no I/O of their own: every frame goes through the link
// layer, which frames, acknowledges and receives it.
#ifndef LIBLUMO_PROTOCOL_PROTOCOL_H
#define LIBLUMO_PROTOCOL_PROTOCOL_H

#include "liblumo.h"
#include "protocol/LinkLayer.h"
#include "protocol/ProtocolCommand.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>

namespace liblumo {

class Protocol {
public:
    // What a count request returns when it failed.
    static constexpr uint16_t kCountFailed = 0xFFFF;

    // Decides whether a device that sent its handshake is accepted.
    using AcceptFunction = bool (*)(const QString &din, void *user);

    Protocol() = default;
    Protocol(const Protocol &) = delete;
    Protocol &operator=(const Protocol &) = delete;

    LinkLayer &link() { return linkLayer; }
    const LinkLayer &link() const { return linkLayer; }

    // Handshake, keep-alive, sleep, real-time. The handshake frame is awaited until the
    // link layer's receive deadline at most; the wait for the echo's ACK is not bound by it.
    bool waitHandshake(QString &din, uint16_t &handshakeWord, uint16_t &rxCrc16,
                       AcceptFunction accept, void *user, uint8_t &otherCommand,
                       QByteArray &otherData, int timeoutMs);
    bool sendKeepAlive(uint32_t counter, int timeoutMs);
    bool doSleep();
    bool sendRealTimeCommand(uint8_t subCommand, const QByteArray &arguments, QByteArray &answer,
                             int timeoutMs);

    // Configuration and status. The clock is written and read back in UTC.
    bool setDateTime(const QDateTime &dateTime);
    bool setDeviceParams(const DeviceParams &params, int timeoutMs);
    bool getDeviceParams(DeviceParams &params, int timeoutMs);
    bool getDeviceStatus(DeviceStatus &status, int timeoutMs);

    // Measurements.
    uint16_t getAvailableMeasurement(int timeoutMs); // kCountFailed on failure
    // Fetches the next stored measurement: the header zero-fills the record, blocks must
    // follow in sequence (numbers compared in 8 bits) and fit the record; `samples` is
    // how many arrived. Every frame but the last is acknowledged once accepted; the last
    // is left to the caller, who keeps the measurement with link().acknowledgeFrame() or
    // gives it back to the device with link().refuseFrame(). On failure the frame that
    // could not be accepted has been refused already, so the device keeps the measurement.
    bool retrieveNextMeasurement(Measurement &measurement, int timeoutMs, int &samples);
    bool receiveMeasurement(Measurement &measurement, int timeoutMs, int &samples);

private:
    LinkLayer linkLayer;
};

} // namespace liblumo

#endif
