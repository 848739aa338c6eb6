// What the web view and its JSON API read from the store: the devices page by page,
// one device, its measurements page by page, one measurement's samples, fleet counts.
// Reads only, on a read-only connection of its own (SQLite) or a connection of its own
// (PostgreSQL), so a reader never waits on the collector's writes nor holds them up.
//
// "Overdue": a device whose last contact (devices.last_seen) is older than the expected
// interval given with --expect-every. The store keeps only the first and last contact of
// a device, not each call, so an interval cannot be learned per device.
//
// The last session as the store knows it: its time is the last contact, and its outcome
// is what the store holds from that moment (see SessionOutcome).
#ifndef LUMO_COLLECT_FLEETREADER_H
#define LUMO_COLLECT_FLEETREADER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumo_collect {

enum class DeviceSort { Din, FirstSeen, LastSeen, Measurements };

// The most rows one page may ask for.
constexpr int kMaxPageRows = 500;

struct DeviceQuery {
    std::string dinPart; // a part of the DIN (digits and '-'); empty: every device
    DeviceSort sort = DeviceSort::Din;
    bool descending = false;
    bool overdueOnly = false;
    // Stored time before which a last contact is overdue (storedTimeText); none: no
    // device is overdue.
    std::optional<std::string> overdueBefore;
    int64_t offset = 0;
    int limit = 50;
};

// What the store shows of a device's last session.
enum class SessionOutcome {
    Measurements, // its last contact stored a measurement
    SyncOk,       // its last contact was a SYNC that succeeded
    SyncFailed,   // ...a SYNC that failed
    ContactOnly,  // nothing stored from its last contact (nothing to hand over, a
                  // transfer that ended before its first measurement, let go)
};
const char *outcomeName(SessionOutcome outcome);

struct DeviceRow {
    std::string din;
    std::string firstSeen;
    std::string lastSeen;
    int64_t measurements = 0;
    std::optional<std::string> lastMeasurementAt; // received_at of the latest stored
    SessionOutcome lastOutcome = SessionOutcome::ContactOnly;
    std::optional<std::string> lastStatus;   // JSON object of the status read by a SYNC
    std::optional<std::string> lastStatusAt; // when it was read
    bool overdue = false;
};

struct DevicePage {
    int64_t total = 0; // devices matching the query, over all pages
    std::vector<DeviceRow> rows;
};

struct FleetCounts {
    int64_t devices = 0;
    int64_t overdue = 0;
    int64_t measurements = 0;
};

struct MeasurementRow {
    int64_t id = 0;
    std::string din;
    std::string receivedAt;
    std::string measuredAt; // the device's own time
    int64_t typeset = 0;
    int64_t ns = 0;
    int64_t nss = 0;
    int64_t sampleCount = 0;
};

struct SyncRow {
    std::string at;
    bool ok = false;
    bool paramsWritten = false;
    std::optional<int64_t> deviceTime; // epoch seconds, the device's clock as read
};

// One read connection. Each call is one statement or a few; false with error when the
// store could not answer. Calls are serialised: safe from several threads.
class FleetReader {
public:
    virtual ~FleetReader() = default;
    virtual bool devices(const DeviceQuery &query, DevicePage &page, std::string &error) = 0;
    // found is false for a DIN the store does not know.
    virtual bool device(const std::string &din, const std::optional<std::string> &overdueBefore,
                        std::optional<DeviceRow> &row, std::string &error) = 0;
    virtual bool counts(const std::optional<std::string> &overdueBefore, FleetCounts &counts,
                        std::string &error) = 0;
    // Newest first.
    virtual bool measurements(const std::string &din, int64_t offset, int limit,
                              std::vector<MeasurementRow> &rows, int64_t &total,
                              std::string &error) = 0;
    // Newest first, at most limit.
    virtual bool syncs(const std::string &din, int limit, std::vector<SyncRow> &rows,
                       std::string &error) = 0;
    virtual bool samples(int64_t id, std::optional<MeasurementRow> &row,
                         std::vector<uint16_t> &samples, std::string &error) = 0;
};

// The reader of the store a --db names (path or postgresql:// URL); null with the reason.
std::unique_ptr<FleetReader> openFleetReader(const std::string &db, std::string &error);

// The clock offset a SYNC saw: the device's clock minus this computer's, in seconds.
std::optional<int64_t> clockOffsetSeconds(const std::string &statusJson,
                                          const std::string &statusAt);

} // namespace lumo_collect

#endif
