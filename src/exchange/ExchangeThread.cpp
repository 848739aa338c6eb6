#include "ExchangeThread.h"

#include "Exchange.h"
#include "exchange/ExchangeContext.h"
#include "helpers/Logging.h"
#include "transports/TimeOut.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <cstring>

namespace liblumo {

namespace {

constexpr int64_t kIntervalMs = 3000;   // keep-alive interval and idle interval
constexpr int kHandshakeTimeoutMs = -1; // the transport's default read time-out
constexpr int kEventPassMs = 100;       // one pass of Qt event processing per turn
constexpr int kIdleWaitMs = 100;        // the longest a turn with nothing to do waits
constexpr uint32_t kLastAction = EXIT;  // answers above it mean nothing for now
constexpr uint8_t kAcceptMask = 0xFF;   // only the low byte of `answer` accepts a device

int64_t now()
{
    return TimeOut::nowMs();
}

class ExchangeLoop {
public:
    explicit ExchangeLoop(ExchangeContext &context)
        : link(context), event(std::make_unique<lumo_EventData>())
    {
        link.record = event.get();
    }
    ~ExchangeLoop() { link.record = nullptr; }

    void run()
    {
        LUMO_INFO << "_threadExchange start";
        link.protocol->forgetBadFrames();
        idleDeadline = now() + kIntervalMs;
        while (!shouldEnd()) {
            bool busy = serveHandshake();
            busy = walkTable() || busy;
            eraseRemoved();
            if (fellIdle())
                break;
            QCoreApplication::processEvents(QEventLoop::AllEvents, kEventPassMs);
            // Nothing to do but ask the host again: sleep until input or 100 ms pass.
            if (!busy && !stopRequested())
                link.transport->waitForInput(kIdleWaitMs);
        }
        failPendingActions();
        link.transport->disconnect();
        LUMO_INFO << "_threadExchange exit";
    }

private:
    bool stopRequested() const { return link.stopRequested(); }

    bool shouldEnd()
    {
        if (stopRequested()) {
            LUMO_INFO << "_threadExchange stop requested";
            return true;
        }
        if (link.protocol->tooManyBadFrames()) {
            LUMO_INFO << "_threadExchange too many bad frames, link given up";
            return true;
        }
        if (!link.protocol->isConnected()) {
            LUMO_INFO << "_threadExchange client disconnected!!!";
            return true;
        }
        return false;
    }

    // True when input was waiting, whether or not it made a valid handshake.
    bool serveHandshake()
    {
        if (!link.protocol->isInputWaiting())
            return false;
        QString din;
        uint16_t handshakeWord = 0;
        uint16_t rxCrc16 = 0;
        uint8_t otherCommand = 0;
        QByteArray otherData;
        // Only a handshake is progress: bytes that never make one, however many, do not
        // keep the link open beyond the idle interval.
        link.protocol->setReceiveDeadline(idleDeadline);
        const bool accepted =
            link.protocol->waitHandshake(din, handshakeWord, rxCrc16, &confirmDevice, &link,
                                         otherCommand, otherData, kHandshakeTimeoutMs);
        link.protocol->setReceiveDeadline(0);
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
        const uint64_t previous = link.devices->handshake(din, link.link, fresh);
        if (previous != 0)
            LUMO_INFO << "_threadExchange DIN taken over from an older connection:" << din;
        raiseFor(EV_DEVICE_ADDED, din);
    }

    // One walk over the devices in DIN order. True when a device command ran or a device
    // has an action waiting for the next turn.
    bool walkTable()
    {
        removeList.clear();
        bool busy = false;
        bool visited = false;
        for (const QString &din : link.devices->dinsOnLink(link.link)) {
            // A stop leaves the devices not yet served as they are.
            if (stopRequested())
                break;
            DeviceEntry entry;
            if (!link.devices->take(din, link.link, entry))
                continue; // taken over by a newer connection meanwhile
            visited = true;
            prepareEventRecord(*event, din);
            busy = serveEntry(din, entry) || busy;
            busy = busy || entry.state != EXCHANGE_REQUEST_ACTION;
            link.devices->store(din, link.link, entry);
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
        // The status lands in the payload, so EV_ACTION_FAILED carries it too once read.
        const bool synced =
            Exchange::doSyncParams(link, din, entry.rxCrc16, event->payload, params);
        link.raise(synced ? EV_SYNC_DONE : EV_ACTION_FAILED, event.get());
        entry.state = EXCHANGE_REQUEST_ACTION;
    }

    void serveTransfer(const QString &din, DeviceEntry &entry)
    {
        LUMO_INFO << "state EXCHANGE_START_DATA_TRANSFER for DIN:" << din;
        const bool transferred = Exchange::doDataTransfer(link, din);
        raiseFor(transferred ? EV_TRANSFER_DONE : EV_ACTION_FAILED, din);
        entry.state = EXCHANGE_REQUEST_ACTION;
    }

    // Asks the host and acts on its answer. True when the answer did something.
    bool serveRequestAction(const QString &din, DeviceEntry &entry)
    {
        LUMO_INFO << "state EXCHANGE_REQUEST_ACTION for DIN:" << din;
        link.raise(EV_REQUEST_ACTION, event.get());
        const uint32_t answer = event->answer;
        if (answer > kLastAction)
            return false;
        switch (RequestAction(answer)) {
        case SYNC:
            LUMO_INFO << " >>> RequestAction::SYNC for DIN:" << din;
            takeParams(entry);
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
            return false;
        case SLEEP:
            LUMO_INFO << " >>> RequestAction::SLEEP for DIN:" << din;
            // A device that did not take the command is dropped all the same.
            link.protocol->doSleep();
            removeList.append(din);
            return true;
        case EXIT:
            LUMO_INFO << " >>> RequestAction::EXIT for DIN:" << din;
            removeList.append(din);
            return true;
        }
        return false;
    }

    // The host's parameter bytes, at most one DeviceParams' worth; bytes past what the
    // host gave keep their old contents.
    void takeParams(DeviceEntry &entry)
    {
        const std::size_t length = std::min<std::size_t>(event->answerLength, sizeof(DeviceParams));
        std::memcpy(&entry.params, event->answerData, length);
    }

    // Sends a keep-alive when one is due. True when one was sent.
    bool keepAlive(const QString &din, DeviceEntry &entry)
    {
        if (now() <= entry.keepAliveDeadline)
            return false;
        const uint32_t sequence = entry.keepAliveSeq++;
        if (link.protocol->sendKeepAlive(sequence, Exchange::kCommandTimeoutMs)) {
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
            link.devices->erase(din, link.link);
    }

    // True when no device has been on this link for the whole idle interval. Devices
    // resting from earlier links do not keep it open.
    bool fellIdle()
    {
        if (now() <= idleDeadline)
            return false;
        if (!link.devices->hasDevicesOnLink(link.link))
            return true;
        idleDeadline = now() + kIntervalMs;
        return false;
    }

    // An action the host asked for that the link's end left undone: the host hears it
    // failed, and the device is asked again when it calls next.
    void failPendingActions()
    {
        for (const QString &din : link.devices->takeBackActions(link.link)) {
            LUMO_INFO << "_threadExchange action left undone for DIN:" << din;
            raiseFor(EV_ACTION_FAILED, din);
        }
    }

    void raiseFor(lumo_Event raised, const QString &din)
    {
        prepareEventRecord(*event, din);
        link.raise(raised, event.get());
    }

    ExchangeContext &link;
    const std::unique_ptr<lumo_EventData> event; // the working record
    int64_t idleDeadline = 0;
    QStringList removeList;
};

} // namespace

bool confirmDevice(const QString &din, void *context)
{
    if (!context)
        return false;
    auto &link = *static_cast<ExchangeContext *>(context);
    std::unique_ptr<lumo_EventData> own;
    lumo_EventData &event = link.recordOrOwn(own);
    prepareEventRecord(event, din);
    link.raise(EV_DEVICE_HANDSHAKE, &event);
    return (event.answer & kAcceptMask) != 0;
}

void *_threadExchange(void *arg)
{
    auto &context = *static_cast<ExchangeContext *>(arg);
    if (!context.transport || !context.protocol || !context.devices)
        return nullptr;
    ExchangeLoop(context).run();
    return nullptr;
}

} // namespace liblumo
