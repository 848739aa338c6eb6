// The devices of one channel: an ordered map from DIN text to the state of the device's
// conversation. Each channel owns its table, so channels never share device state.
//
// Every entry belongs to the link its device last handshook on and is served only over
// that link, so no command meant for one device reaches another that connected after it.
// An entry outlives its link, so a device that calls again goes on where it was; until it
// does, its entry rests. Resting entries beyond kMaxRestingDevices are dropped, the ones
// seen longest ago first. The table has its own lock: a channel serving several
// connections at once shares it between their exchanges; no call holds it for longer
// than the call itself.
#ifndef LIBLUMO_EXCHANGE_DEVICETABLE_H
#define LIBLUMO_EXCHANGE_DEVICETABLE_H

#include "liblumo.h"
#include "transports/StopSignal.h"

#include <QString>
#include <QStringList>

#include <atomic>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

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
    uint64_t link = 0;     // the link the device last handshook on
    int64_t seenMs = 0;    // when it last handshook (monotonic ms)
    bool leaving = false;  // sent to sleep or let go: a newer connection may take it at once
};

class DeviceTable {
public:
    static constexpr std::size_t kMaxRestingDevices = 4096;
    // A connection that has shown no valid frame for this long may lose a device to a
    // newer connection that handshakes with its DIN; before that, the newcomer is refused,
    // so a peer claiming a talking device's DIN cannot cut it off.
    static constexpr int64_t kTakeOverSilenceMs = 10000;

    // A connection starts and ends. `closer` is raised when a newer connection takes one
    // of its devices over; `lastFrameMs` (monotonic ms) tells when it last showed a valid
    // frame. Either may be null.
    void openLink(uint64_t link, com::StopSignal *closer,
                  const std::atomic<int64_t> *lastFrameMs = nullptr);
    void closeLink(uint64_t link);

    // False when `din` is held by another live connection that showed a valid frame less
    // than kTakeOverSilenceMs before nowMs and is not letting the device go: the handshake
    // on `link` must be refused.
    bool mayTakeOver(const QString &din, uint64_t link, int64_t nowMs) const;
    // The device handshook on `link`: its entry is created or refreshed and moves to the
    // link. Returns the live link it was taken from (its closer has been raised), or 0.
    uint64_t handshake(const QString &din, uint64_t link, const DeviceEntry &fresh);

    // The DINs served over `link`, in DIN order, as they are now.
    QStringList dinsOnLink(uint64_t link) const;
    // A copy of the entry, when it is still on `link`.
    bool copyEntry(const QString &din, uint64_t link, DeviceEntry &entry) const;
    // Writes the entry back, unless the device has moved to another link meanwhile.
    void store(const QString &din, uint64_t link, const DeviceEntry &entry);
    void erase(const QString &din, uint64_t link);
    // The device is being sent to sleep or let go on `link`: its entry goes after the walk,
    // and a call it makes meanwhile on a new connection is taken at once.
    void markLeaving(const QString &din, uint64_t link);
    bool hasDevicesOnLink(uint64_t link) const;
    // Entries of `link` with an action the host asked for that never ran: set back to
    // waiting for the host's next answer. Returns their DINs.
    QStringList takeBackActions(uint64_t link);

    void clear();
    std::size_t size() const;

private:
    struct Link {
        com::StopSignal *closer = nullptr;
        const std::atomic<int64_t> *lastFrameMs = nullptr;
        std::set<QString> dins; // the entries on this link
    };

    void detach(const QString &din, uint64_t link);
    std::size_t restingCount() const;
    void dropOldestResting();

    mutable std::mutex mutex;
    std::map<QString, DeviceEntry> entries;
    std::map<uint64_t, Link> liveLinks;
};

} // namespace liblumo

#endif
