// Which collector serves a device, when several collectors share one store. The
// controller takes a device's lock when the device has handshaken and holds it while it
// synchronises or transfers; a device whose lock another collector holds is let go
// without a transfer (EXIT) and served normally on its next call.
#ifndef LUMO_COLLECT_DEVICELOCK_H
#define LUMO_COLLECT_DEVICELOCK_H

#include <string>

namespace lumo_collect {

enum class LockOutcome {
    Acquired,      // this collector holds the DIN now (or already did)
    HeldElsewhere, // another collector serves the device
    Failed,        // the lock could not be asked for; lastError says why
};

// Safe to call from several threads at once.
class DeviceLock {
public:
    virtual ~DeviceLock() = default;
    virtual LockOutcome acquire(const std::string &din) = 0;
    // Harmless for a DIN this collector does not hold.
    virtual void release(const std::string &din) = 0;
    virtual std::string lastError() const = 0;
    // False once this collector no longer holds the DIN it acquired: its lease ran out
    // or was taken over. Cheap: no round trip.
    virtual bool holds(const std::string & /*din*/) const { return true; }
    // Why leases cannot be taken now, or empty.
    virtual std::string unhealthy() const { return {}; }
};

} // namespace lumo_collect

#endif
