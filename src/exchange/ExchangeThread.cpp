#include "ExchangeThread.h"

#include "Exchange.h"
#include "exchange/ExchangeContext.h"
#include "helpers/Logging.h"
#include "transports/TimeOut.h"

#include <QStringList>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace liblumo {

namespace {

constexpr int64_t kIntervalMs = 3000;   // keep-alive interval and idle interval
constexpr int kHandshakeTimeoutMs = -1; // the link layer's default time-out
// The longest a turn with nothing to do waits for input before the host is asked again.
// A turn whose devices are all held in CONTROL waits until the first keep-alive is due
// instead (at most the keep-alive interval): a held device costs a question and a
// keep-alive every 3 s, not ten questions a second.
constexpr int kIdleWaitMs = 1000;
constexpr uint32_t kLastAction = EXIT;  // answers above it mean nothing for now
constexpr uint8_t kAcceptMask = 0xFF;   // only the low byte of `answer` accepts a device

int64_t now()
{
    return TimeOut::nowMs();
}

class ExchangeLoop {
public:
    explicit ExchangeLoop(ExchangeContext &exchange) : context(exchange), link(exchange.link()) {}

    void run()
    {
        LUMO_INFO << "_threadExchange start";
        link.forgetBadFrames();
        idleDeadline = now() + kIntervalMs;
        while (!shouldEnd()) {
            bool busy = serveHandshake();
            busy = walkTable() || busy;
            eraseRemoved();
            if (fellIdle())
                break;
            // Nothing to do but ask the host again: sleep until input, a stop, or the idle
            // wait has passed.
            if (!busy && !stopRequested())
                link.waitForInput(idleWaitMs());
        }
        failPendingActions();
        link.disconnect();
        LUMO_INFO << "_threadExchange exit";
    }

private:
    bool stopRequested() const { return context.stopRequested(); }

    bool shouldEnd()
    {
        if (stopRequested()) {
            LUMO_INFO << "_threadExchange stop requested";
            return true;
        }
        if (link.givenUp()) {
            LUMO_INFO << "_threadExchange too many bad frames, link given up";
            return true;
        }
        if (!link.isConnected()) {
            LUMO_INFO << "_threadExchange client disconnected!!!";
            return true;
        }
        return false;
    }

    // True when input was waiting, whether or not it made a valid handshake.
    bool serveHandshake()
    {
        if (!link.isInputWaiting())
            return false;
        QString din;
        uint16_t handshakeWord = 0;
        uint16_t rxCrc16 = 0;
        uint8_t otherCommand = 0;
        QByteArray otherData;
        // Only a handshake is progress: bytes that never make one, however many, do not
        // keep the link open beyond the idle interval. The deadline bounds the wait for the
        // frame; the host's answer and the echo are not cut short by it.
        link.setReceiveDeadline(idleDeadline);
        const bool accepted =
            context.protocol->waitHandshake(din, handshakeWord, rxCrc16, &confirmDevice,
                                            &context, otherCommand, otherData, kHandshakeTimeoutMs);
        link.setReceiveDeadline(0);
        if (accepted) {
            addDevice(din, handshakeWord, rxCrc16);
            idleDeadline = now() + kIntervalMs;
        }
        return true;
    }

    void addDevice(const QString &din, uint16_t handshakeWord, uint16_t rxCrc16)
    {
        LUMO_INFO << log::separator();
        LUMO_INFO << "Added deviced " << din;
        DeviceEntry fresh;
        fresh.keepAliveDeadline = now() + kIntervalMs;
        fresh.state = EXCHANGE_REQUEST_ACTION;
        fresh.keepAliveSeq = 1;
        fresh.handshakeWord = handshakeWord;
        fresh.rxCrc16 = rxCrc16;
        fresh.seenMs = now();
        const uint64_t previous = context.devices->handshake(din, context.connectionId, fresh);
        if (previous != 0)
            LUMO_INFO << "_threadExchange DIN taken over from an older connection:" << din;
        raiseFor(EV_DEVICE_ADDED, din);
    }

    // How long a turn with nothing to do may wait before the next walk.
    int idleWaitMs() const
    {
        if (otherIdleAnswer || nextKeepAliveMs == kNoKeepAlive)
            return kIdleWaitMs;
        return int(std::clamp<int64_t>(nextKeepAliveMs - now() + 1, 0, kIntervalMs));
    }

    // One walk over the devices in DIN order. True when a device command ran or a device
    // has an action waiting for the next turn.
    bool walkTable()
    {
        removeList.clear();
        nextKeepAliveMs = kNoKeepAlive;
        otherIdleAnswer = false;
        bool busy = false;
        bool visited = false;
        for (const QString &din : context.devices->dinsOnLink(context.connectionId)) {
            // A stop leaves the devices not yet served as they are.
            if (stopRequested())
                break;
            DeviceEntry entry;
            if (!context.devices->copyEntry(din, context.connectionId, entry))
                continue; // taken over by a newer connection meanwhile
            visited = true;
            busy = serveEntry(din, entry) || busy;
            busy = busy || entry.state != EXCHANGE_REQUEST_ACTION;
            context.devices->store(din, context.connectionId, entry);
        }
        if (visited)
            idleDeadline = now() + kIntervalMs;
        return busy;
    }

    bool serveEntry(const QString &din, DeviceEntry &entry)
    {
        switch (entry.state) {
        case EXCHANGE_START_SYNC:
            serveSync(din, entry);
            return true;
        case EXCHANGE_START_DATA_TRANSFER:
            serveTransfer(din, entry);
            return true;
        case EXCHANGE_REQUEST_ACTION:
            return serveRequestAction(din, entry);
        }
        return false;
    }

    void serveSync(const QString &din, DeviceEntry &entry)
    {
        LUMO_INFO << "state EXCHANGE_START_SYNC for DIN:" << din;
        const DeviceParams params = entry.params;
        EventRecordPool::Lease event = context.records->borrow(din);
        // The status lands in the payload, so EV_ACTION_FAILED carries it too once read.
        event.notePayloadUsed(sizeof(DeviceStatus));
        const bool synced =
            Exchange::doSyncParams(context, din, entry.rxCrc16, event.record().payload, params);
        context.raise(synced ? EV_SYNC_DONE : EV_ACTION_FAILED, event.get());
        entry.state = EXCHANGE_REQUEST_ACTION;
    }

    void serveTransfer(const QString &din, DeviceEntry &entry)
    {
        LUMO_INFO << "state EXCHANGE_START_DATA_TRANSFER for DIN:" << din;
        const bool transferred = Exchange::doDataTransfer(context, din);
        raiseFor(transferred ? EV_TRANSFER_DONE : EV_ACTION_FAILED, din);
        entry.state = EXCHANGE_REQUEST_ACTION;
    }

    // Asks the host and acts on its answer. True when the answer did something.
    bool serveRequestAction(const QString &din, DeviceEntry &entry)
    {
        LUMO_INFO << "state EXCHANGE_REQUEST_ACTION for DIN:" << din;
        EventRecordPool::Lease event = context.records->borrow(din);
        context.raise(EV_REQUEST_ACTION, event.get());
        const uint32_t answer = event.record().answer;
        if (answer > kLastAction) {
            otherIdleAnswer = true;
            return false;
        }
        switch (RequestAction(answer)) {
        case SYNC:
            LUMO_INFO << " >>> RequestAction::SYNC for DIN:" << din;
            takeParams(event.record(), entry);
            entry.state = EXCHANGE_START_SYNC;
            return true;
        case DATA_TRANSFER:
            LUMO_INFO << " >>> RequestAction::DATA_TRANSFER for DIN:" << din;
            entry.state = EXCHANGE_START_DATA_TRANSFER;
            return true;
        case CONTROL:
            LUMO_INFO << " >>> RequestAction::CONTROL for DIN:" << din;
            return keepAlive(din, entry);
        case CALIBRATION:
            LUMO_INFO << " >>> RequestAction::CALIBRATION for DIN:" << din;
            otherIdleAnswer = true;
            return false;
        case SLEEP:
            LUMO_INFO << " >>> RequestAction::SLEEP for DIN:" << din;
            letGo(din, entry);
            // A device that did not take the command is dropped all the same.
            context.protocol->doSleep();
            return true;
        case EXIT:
            LUMO_INFO << " >>> RequestAction::EXIT for DIN:" << din;
            letGo(din, entry);
            return true;
        }
        return false;
    }

    // The entry goes after the walk; a call the device makes meanwhile on a new
    // connection is not refused for it.
    void letGo(const QString &din, DeviceEntry &entry)
    {
        entry.leaving = true;
        context.devices->markLeaving(din, context.connectionId);
        removeList.append(din);
    }

    // The host's parameter bytes, at most one DeviceParams' worth; bytes past what the
    // host gave keep their old contents.
    static void takeParams(const lumo_EventData &event, DeviceEntry &entry)
    {
        const std::size_t length = std::min<std::size_t>(event.answerLength, sizeof(DeviceParams));
        std::memcpy(&entry.params, event.answerData, length);
    }

    // Sends a keep-alive when one is due. True when one was sent.
    bool keepAlive(const QString &din, DeviceEntry &entry)
    {
        if (now() <= entry.keepAliveDeadline) {
            nextKeepAliveMs = std::min(nextKeepAliveMs, entry.keepAliveDeadline);
            return false;
        }
        const uint32_t sequence = entry.keepAliveSeq++;
        if (context.protocol->sendKeepAlive(sequence, Exchange::kCommandTimeoutMs)) {
            entry.keepAliveDeadline = now() + kIntervalMs;
            return true;
        }
        // A keep-alive cut short by a stop says nothing about the device.
        if (stopRequested())
            return true;
        raiseFor(EV_KEEPALIVE_FAILED, din);
        removeList.append(din);
        return true;
    }

    void eraseRemoved()
    {
        for (const QString &din : qAsConst(removeList))
            context.devices->erase(din, context.connectionId);
    }

    // True when no device has been on this connection for the whole idle interval.
    // Devices resting from earlier connections do not keep it open.
    bool fellIdle()
    {
        if (now() <= idleDeadline)
            return false;
        if (!context.devices->hasDevicesOnLink(context.connectionId))
            return true;
        idleDeadline = now() + kIntervalMs;
        return false;
    }

    // An action the host asked for that the connection's end left undone: the host hears
    // it failed, and the device is asked again when it calls next.
    void failPendingActions()
    {
        for (const QString &din : context.devices->takeBackActions(context.connectionId)) {
            LUMO_INFO << "_threadExchange action left undone for DIN:" << din;
            raiseFor(EV_ACTION_FAILED, din);
        }
    }

    void raiseFor(lumo_Event raised, const QString &din)
    {
        EventRecordPool::Lease event = context.records->borrow(din);
        context.raise(raised, event.get());
    }

    static constexpr int64_t kNoKeepAlive = INT64_MAX;

    ExchangeContext &context;
    LinkLayer &link;
    int64_t idleDeadline = 0;
    QStringList removeList;
    // Of the last walk: the first keep-alive due, and whether a device had an idle answer
    // other than CONTROL (the host may change it any time).
    int64_t nextKeepAliveMs = kNoKeepAlive;
    bool otherIdleAnswer = false;
};

} // namespace

bool confirmDevice(const QString &din, void *opaque)
{
    if (!opaque)
        return false;
    auto &context = *static_cast<ExchangeContext *>(opaque);
    // A DIN another connection is still talking for is not taken from it: the newcomer may
    // be a peer claiming it, or the device's late call on a stale connection, which it
    // makes again.
    if (!context.devices->mayTakeOver(din, context.connectionId, now())) {
        context.link().countUnwanted(
            "_threadExchange DIN held by a connection still talking, handshake refused");
        return false;
    }
    EventRecordPool::Lease event = context.records->borrow(din);
    context.raise(EV_DEVICE_HANDSHAKE, event.get());
    return (event.record().answer & kAcceptMask) != 0;
}

void *_threadExchange(void *arg)
{
    auto &context = *static_cast<ExchangeContext *>(arg);
    if (!context.protocol || !context.devices || !context.records)
        return nullptr;
    ExchangeLoop(context).run();
    return nullptr;
}

} // namespace liblumo
