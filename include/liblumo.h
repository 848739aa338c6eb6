// liblumo: talk to measurement devices (data loggers) over a USB serial port or TCP.
//
// A host constructs one LibLumo, builds a channel profile (SerialProfile or TCPProfile),
// and calls startChannel with the profile, an event callback and a user pointer. From
// then on the library runs the conversation with the devices on threads of its own and
// reports every step through the callback. The host takes every decision by writing
// its answer into the event record before the callback returns. stopChannel ends a
// channel.
//
// Thread rules
// - startChannel and stopChannel may be called from any host thread, concurrently.
// - The callback runs on the library's threads: EV_CHANNEL_STARTED and
//   EV_CHANNEL_STOPPED on the channel thread, every other event on the channel's
//   exchange thread. Calls for one channel never overlap; callbacks of different
//   channels may run at the same time on different threads. A FleetTCPProfile channel
//   has an exchange thread per connection: there the rule holds per connection (see
//   FleetTCPProfile).
// - Never call stopChannel from inside a callback of the same channel: the channel
//   thread waits for that callback, so the stop could never be acknowledged.
// - The library waits for the callback; a slow callback slows the device conversation.
//
// Lifetimes
// - The profile, the callback and the user pointer belong to the host. The profile must
//   stay alive and keep its type until stopChannel for its channel has returned.
// - An event record (lumo_EventData) belongs to the library and is valid only while the
//   callback runs: copy what you want to keep. Each event's record reads as zero but for
//   what the event carries, in the header fields, `answerData` and the part of `payload`
//   the library fills; bytes a host writes elsewhere into `payload` are not cleared.
//
// Logging goes to the Qt message log, category "default": info for the conversation,
// debug for buffer traces. The library never installs a message handler; switch levels
// off with Qt's logging rules (for example QT_LOGGING_RULES="default.debug=false").
#ifndef LIBLUMO_H
#define LIBLUMO_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
#    if defined(LIBLUMO_BUILDING)
#        define LUMO_API __declspec(dllexport)
#    else
#        define LUMO_API __declspec(dllimport)
#    endif
#else
#    define LUMO_API __attribute__((visibility("default")))
#endif

namespace liblumo {

// ---------------------------------------------------------------------------
// Events, error codes and the host's answers (values are part of the binary interface)
// ---------------------------------------------------------------------------

enum lumo_Event {
    // Channel thread; data is null. The channel's first event: a TCP channel is already
    // listening, a serial channel opens its port after it.
    EV_CHANNEL_STARTED = 1,
    // Channel thread; data is null. The channel has seen its stop request and ends:
    // always the last event of a channel. May arrive while stopChannel returns.
    EV_CHANNEL_STOPPED = 2,
    // Exchange thread; record with din. Accept the device by writing a nonzero low byte
    // into `answer`; leaving it zero refuses the device (nothing is answered to it).
    EV_DEVICE_HANDSHAKE = 3,
    // Exchange thread; record with din. The accepted device has completed its handshake.
    EV_DEVICE_ADDED = 4,
    // Exchange thread; record with din. Write a RequestAction into `answer`; for SYNC
    // also a DeviceParams record into answerData and its size (100) into answerLength.
    // An untouched record means SYNC with no parameter bytes. Asked again every turn
    // while the device has nothing else to do.
    EV_REQUEST_ACTION = 5,
    // Exchange thread; record with din. Clock and parameters were written to the device.
    EV_PARAMS_UPDATED = 6,
    // Exchange thread; record with din, the DeviceStatus in `payload`. SYNC succeeded.
    EV_SYNC_DONE = 8,
    // Exchange thread; record with din, one Measurement in `payload` and in `reserved`
    // the number of samples its data blocks carried (samples past that number are zero).
    // The device's last frame of the measurement is acknowledged only when the callback
    // returns with `answer` left 0. A host that cannot keep the measurement writes
    // kRefuseMeasurement (any nonzero value) into `answer`: the frame is not acknowledged,
    // the device keeps the measurement for its next call, nothing more is asked of it and
    // the transfer ends with EV_ACTION_FAILED.
    EV_MEASUREMENT = 9,
    // Exchange thread; record with din. A keep-alive in CONTROL got no valid answer; the
    // device has been dropped.
    EV_KEEPALIVE_FAILED = 10,
    // Exchange thread; record with din. Every stored measurement was handed over.
    EV_TRANSFER_DONE = 11,
    // Exchange thread; record with din (after a SYNC also the DeviceStatus in `payload`,
    // when it was read). A SYNC or DATA_TRANSFER failed or was cut short by a stop.
    EV_ACTION_FAILED = 12,
};

enum lumo_ErrorCodes {
    ERR_NONE = 0,
    ERR_THREAD_START = 1,
    // startChannel: the TCP port is not a number from 1 to 65535, or cannot be listened on
    // (taken by another program, not permitted). The channel is already gone, as for
    // ERR_THREAD_START; no event is raised.
    ERR_PORT_UNAVAILABLE = 2,
    // startChannel: the system gave no descriptor for the signals that end the channel's
    // waits (the process is at its descriptor limit). The channel is already gone, as for
    // ERR_THREAD_START; no event is raised.
    ERR_NO_RESOURCES = 3,
};

// The host's answer to EV_REQUEST_ACTION, read from `answer` as an unsigned 32-bit value.
// Any other value does nothing for this turn; the device is asked again.
enum RequestAction {
    SYNC = 0,          // status read; clock and parameters written when the CRCs differ
    DATA_TRANSFER = 1, // transfer every stored measurement (EV_MEASUREMENT each)
    CONTROL = 2,       // keep the device online: a keep-alive about every 3000 ms
    CALIBRATION = 3,   // logged only
    SLEEP = 4,         // send the device to sleep and drop it
    EXIT = 5,          // drop the device; nothing is sent
};

// The host's answer to EV_MEASUREMENT when it cannot keep the measurement.
constexpr uint32_t kRefuseMeasurement = 1;

// event, data (null for events 1 and 2, else a lumo_EventData), the user pointer given
// to startChannel (unchanged), and always ERR_NONE. The result is never read: return 0.
typedef int (*EventCallback)(lumo_Event event, void *data, void *user, lumo_ErrorCodes error);

// ---------------------------------------------------------------------------
// Records (fixed layouts, little-endian, natural alignment)
// ---------------------------------------------------------------------------

// A device date and time: packed as on the wire, and unpacked.
// packed bits: year-2000 31..26, month 25..22, day 21..17, hour 16..12, min 11..6, sec 5..0
struct timestamp_t {
    uint32_t packed;
    uint8_t sec;
    uint8_t min;
    uint8_t hour;
    uint8_t day;
    uint8_t month;
    uint8_t year; // years since 2000
};

// The device parameter set; the library moves it, it does not interpret it.
struct DeviceParams {
    uint16_t param16a[5];
    uint32_t param32a;
    uint32_t param32b;
    uint16_t param16b;
    uint32_t param32c;
    uint16_t param16c[6];
    uint32_t param32d[6];
    uint8_t reserved[32]; // never sent, never filled from the device
    uint16_t crc16;       // the host's CRC16 of the set, compared with the device's
};

// The device status block, delivered in `payload` with EV_SYNC_DONE.
struct DeviceStatus {
    uint32_t status32a;
    uint32_t status32b;
    uint16_t status16a;
    uint32_t deviceTime; // device clock, read as UTC (as SYNC writes it), epoch seconds
    uint16_t status16b[7];
};

constexpr std::size_t kMaxSamples = 65536;

// One stored measurement, delivered in `payload` with EV_MEASUREMENT. Samples of
// successive data blocks follow each other in block order; the event record's `reserved`
// field says how many arrived, and every sample past them is zero.
struct Measurement {
    timestamp_t dtime;
    uint32_t typeset;
    uint16_t ns;
    uint16_t nss;
    uint16_t samples[kMaxSamples];
};

constexpr std::size_t kDinSize = 12;
constexpr std::size_t kPayloadSize = 131092;
constexpr std::size_t kAnswerDataSize = 1024;

// The event record shared with the host, zero-filled before every event.
struct lumo_EventData {
    uint32_t reserved;                   // EV_MEASUREMENT: samples that arrived; else 0
    char din[kDinSize];                  // DIN text "NNN-NNN-NNN", zero-terminated
    uint8_t payload[kPayloadSize];       // DeviceStatus or Measurement, per event
    uint32_t answer;                     // host: accept (low byte) or RequestAction
    uint32_t answerLength;               // host: bytes of answerData for SYNC (at most 100)
    uint8_t answerData[kAnswerDataSize]; // host: DeviceParams for SYNC
};

static_assert(sizeof(timestamp_t) == 12, "timestamp_t layout");
static_assert(offsetof(timestamp_t, sec) == 4 && offsetof(timestamp_t, year) == 9,
              "timestamp_t layout");
static_assert(sizeof(DeviceParams) == 100, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param32a) == 12, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param32b) == 16, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param16b) == 20, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param32c) == 24, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param16c) == 28, "DeviceParams layout");
static_assert(offsetof(DeviceParams, param32d) == 40, "DeviceParams layout");
static_assert(offsetof(DeviceParams, reserved) == 64, "DeviceParams layout");
static_assert(offsetof(DeviceParams, crc16) == 96, "DeviceParams layout");
static_assert(offsetof(DeviceStatus, status32b) == 4, "DeviceStatus layout");
static_assert(offsetof(DeviceStatus, status16a) == 8, "DeviceStatus layout");
static_assert(offsetof(DeviceStatus, deviceTime) == 12, "DeviceStatus layout");
static_assert(offsetof(DeviceStatus, status16b) == 16, "DeviceStatus layout");
static_assert(sizeof(DeviceStatus) == 32, "DeviceStatus layout");
static_assert(offsetof(Measurement, typeset) == 12, "Measurement layout");
static_assert(offsetof(Measurement, ns) == 16, "Measurement layout");
static_assert(offsetof(Measurement, nss) == 18, "Measurement layout");
static_assert(offsetof(Measurement, samples) == 20, "Measurement layout");
static_assert(sizeof(Measurement) == 131092, "Measurement layout");
static_assert(offsetof(lumo_EventData, din) == 4, "lumo_EventData layout");
static_assert(offsetof(lumo_EventData, payload) == 16, "lumo_EventData layout");
static_assert(offsetof(lumo_EventData, answer) == 131108, "lumo_EventData layout");
static_assert(offsetof(lumo_EventData, answerLength) == 131112, "lumo_EventData layout");
static_assert(offsetof(lumo_EventData, answerData) == 131116, "lumo_EventData layout");
static_assert(sizeof(lumo_EventData) == 132140, "lumo_EventData layout");
static_assert(sizeof(Measurement) <= sizeof(lumo_EventData::payload), "payload room");

// ---------------------------------------------------------------------------
// Channel profiles
// ---------------------------------------------------------------------------

// What kind of channel to open and where. getType: 1 serial, 3 TCP; any other type gives
// a channel that only waits for its stop. Derive your own if you like.
class LUMO_API IChannelProfile {
public:
    virtual ~IChannelProfile();
    virtual int getType() = 0;
    virtual void setPortName(std::string name);
    virtual std::string getPortName();
    virtual void setServerPort(std::string port);
    virtual std::string getServerPort();
};

// A serial port reached over USB: a device path ("/dev/ttyUSB0"), used exactly as given,
// or "AUTO" (any letter case) to find the device by its USB serial number on each open.
class LUMO_API SerialProfile : public IChannelProfile {
public:
    SerialProfile();
    ~SerialProfile() override;
    int getType() override;
    void setPortName(std::string name) override;
    std::string getPortName() override;

private:
    std::string portName;
};

// True for the serial port name "AUTO" in any letter case (discovery by serial number).
inline bool isAutoPortName(std::string_view name)
{
    constexpr std::string_view kAuto = "AUTO";
    if (name.size() != kAuto.size())
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i] >= 'a' && name[i] <= 'z' ? char(name[i] - 'a' + 'A') : name[i];
        if (c != kAuto[i])
            return false;
    }
    return true;
}

// A TCP port, as decimal text, on which the library listens on all IPv4 addresses.
class LUMO_API TCPProfile : public IChannelProfile {
public:
    TCPProfile();
    ~TCPProfile() override;
    int getType() override;
    void setServerPort(std::string port) override;
    std::string getServerPort() override;

private:
    std::string serverPort;
};

// A TCP channel that serves several devices at once: every accepted connection runs its
// own exchange, up to getMaxConnections() at a time; further devices wait in the listen
// backlog (as long as the limit) until a connection ends. With a limit of 1 it behaves
// exactly as a TCPProfile.
//
// Event rules in this mode:
// - Calls for one connection never overlap and keep the order of a TCPProfile channel;
//   calls for different connections may run at the same time on different threads (as
//   for different channels), so a callback shared by them must guard what it shares.
// - EV_CHANNEL_STARTED comes first and EV_CHANNEL_STOPPED last, after every
//   connection's last event.
// - The channel's devices are shared by its connections. A DIN that handshakes on a new
//   connection while an older one still holds it is taken over by the new one only when
//   the older connection has shown no valid frame for 10 seconds (a device on a flaky link
//   often calls again before its old connection is seen dead): the older connection is
//   closed, and an action it had under way ends with EV_ACTION_FAILED. While the older
//   connection is still talking, the newcomer's handshake is refused without asking the
//   host, so a peer claiming a device's DIN cannot cut the device off.
class LUMO_API FleetTCPProfile : public TCPProfile {
public:
    static constexpr int kDefaultMaxConnections = 64;

    FleetTCPProfile();
    ~FleetTCPProfile() override;
    // At least 1.
    void setMaxConnections(int n);
    int getMaxConnections();

private:
    int maxConnections = kDefaultMaxConnections;
};

// A TCP channel (one connection at a time with a limit of 1, several as FleetTCPProfile)
// that listens on one given address instead of every IPv4 address: a literal IPv4
// ("127.0.0.1", "0.0.0.0") or IPv6 address ("::1", "::"; no brackets). An IPv6 address
// listens on IPv6 only. startChannel answers ERR_PORT_UNAVAILABLE when the address is
// not one or cannot be listened on.
class LUMO_API ListenTCPProfile : public FleetTCPProfile {
public:
    ListenTCPProfile();
    ~ListenTCPProfile() override;
    void setListenAddress(std::string address);
    std::string getListenAddress();

private:
    std::string listenAddress;
};

// ---------------------------------------------------------------------------
// The library
// ---------------------------------------------------------------------------

class LUMO_API LibLumo {
public:
    // Construct one before the first startChannel. Channel ids restart at 1 only when no
    // channel is open.
    LibLumo();
    // Does not stop channels: stop every channel you started first.
    virtual ~LibLumo();

    // Opens a channel and returns its id (1, 2, ...; never reused). *error receives
    // ERR_NONE; ERR_PORT_UNAVAILABLE when a TCP channel cannot listen on its port; or
    // ERR_THREAD_START when the channel thread could not be created. On an error the
    // channel is already gone and no event is raised.
    int startChannel(IChannelProfile *profile, EventCallback callback, void *user,
                     lumo_ErrorCodes *error);

    // Asks the channel to end and waits until it has (at most about 2 seconds, whatever
    // the channel is doing). An unknown or already stopped id returns at once. *error
    // always receives ERR_NONE. Never call it from a callback of the same channel.
    void stopChannel(int id, lumo_ErrorCodes *error);
};

// Inside a callback: the connection the event belongs to, a number from 1 that is never
// reused in the process. Every TCP connection and every opening of a serial port is a
// connection of its own; a device is served only over the connection it last handshook
// on. A fleet host tells an older connection's late EV_ACTION_FAILED from a newer one's
// events by it. 0 outside a callback, and for EV_CHANNEL_STARTED and EV_CHANNEL_STOPPED.
LUMO_API uint64_t currentConnectionId();

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------

namespace helpers {

// Unpack ts->packed into the six byte fields; packed is unchanged.
LUMO_API void timestamp2Time(timestamp_t *ts);
// Pack the six byte fields into ts->packed (month and day cut to their widths).
LUMO_API void time2Timestamp(timestamp_t *ts);
// Current local time as "yyyy-MM-ddTHH:mm:ss.zzz".
LUMO_API QString nowToString();
// "yyyy-MM-dd HH:mm:ss".
LUMO_API QString formatDateTime(QDateTime dateTime);
// Decimal, left-padded with '0' to width; never cut.
LUMO_API QString decValue(uint32_t value, int width);
// Random upper-case hexadecimal token of ceil(length / 4) random 32-bit pieces.
LUMO_API QString tokenGenerator(uint16_t length);
// The top-level object (array) of a JSON text; empty for bad text or the other kind.
LUMO_API QJsonObject toJson(QString text);
LUMO_API QJsonArray toJsonArray(QString text);

} // namespace helpers

} // namespace liblumo

#endif // LIBLUMO_H
