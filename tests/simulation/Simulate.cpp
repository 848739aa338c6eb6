// lumo-simulate: the library's real protocol, exchange and device-table code run in this one
// thread on a virtual clock, over a simulated link, against a model of data loggers, with
// faults drawn from a seed. After every run the invariants are checked; a failing seed is
// printed with the command that replays it.
#include "SimConnection.h"
#include "transports/TimeOut.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <map>
#include <string>
#include <vector>

using namespace liblumo;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kNever = INT64_MAX;
constexpr int kDeviceAckMs = 3000;       // the device's wait for the host's ACK
constexpr int kDeviceAttempts = 3;       // sends of one device frame
constexpr int kStopBoundMs = 1000;       // a raised stop ends the exchange within this
constexpr int64_t kHeldBoundMs = 900000; // no connection lasts longer than this
constexpr int kUnwantedBound = 100;      // well-formed unwanted frames a connection takes
constexpr int kMaxConnections = 3;

int64_t gNow = 0;
int64_t virtualNow()
{
    return gNow;
}

struct Rng { // splitmix64: small, fast, and everything of a run comes from its seed
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % uint64_t(n)); }
    bool chance(int percent) { return below(100) < percent; }
};

enum Row {
    DropFrame,
    GarbleFrame,
    DropAck,
    GarbleAck,
    Delay,
    LongDelay,
    Duplicate,
    Cut,
    HalfOpen,
    Reopen,
    Trickle,
    Unwanted,
    Refuse,
    SlowHost,
    OutOfRange,
    StopAny,
    HalfOpenCalib,
    GarbleLength,
    SlowHandshake,
    ClockZone,
    kRows
};
struct FaultRow {
    const char *name;
    int percent;  // of the runs that draw it
    bool failing; // known to fail on today's library: off unless --all or --on
    bool benign;  // a device behind it must still be served in full
    uint64_t runs, fired;
};
FaultRow rows[kRows] = {
    {"drop-frame", 12, false, false, 0, 0},    {"garble-frame", 12, false, false, 0, 0},
    {"drop-ack", 12, true, false, 0, 0},        {"garble-ack", 12, true, false, 0, 0},
    {"delay", 12, true, true, 0, 0},            {"long-delay", 6, true, false, 0, 0},
    {"duplicate", 10, true, true, 0, 0},        {"cut", 12, false, false, 0, 0},
    {"half-open", 6, false, false, 0, 0},      {"reopen", 8, false, false, 0, 0},
    {"trickle", 3, false, false, 0, 0},        {"unwanted", 4, true, false, 0, 0},
    {"refuse", 8, false, false, 0, 0},         {"slow-host", 10, false, true, 0, 0},
    {"out-of-range", 8, false, true, 0, 0},    {"stop", 8, false, false, 0, 0},
    {"half-open-held", 1, true, false, 0, 0},  // half-open while the host keeps it in CALIBRATION
    {"garble-length", 12, true, false, 0, 0},  // garble-frame may hit the length field too
    {"slow-handshake", 10, false, true, 0, 0}, // the host takes up to 4 s to accept
    {"clock-zone", 10, false, false, 0, 0},    // the host's zone is not UTC (with a daylight-saving
                                               // gap)
};
bool rowOn[kRows];

std::string dinText(uint32_t din)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03u-%03u-%03u", din / 1000000, din / 1000 % 1000,
                  din % 1000);
    return text;
}

uint16_t sampleOf(uint32_t key, int i)
{
    return uint16_t((key * 2654435761u) ^ (uint32_t(i) * 40503u));
}

Bytes frameOf(uint16_t packet, uint8_t command, const Bytes &data)
{
    Bytes f(data.size() + 7);
    const uint8_t header[] = {kStx,
                              uint8_t(packet >> 8),
                              uint8_t(packet),
                              uint8_t((data.size() + 2) >> 8),
                              uint8_t(data.size() + 2),
                              command};
    std::copy(header, header + 6, f.begin());
    std::copy(data.begin(), data.end(), f.begin() + 6);
    f.pop_back();
    uint8_t lrc = 0;
    for (uint8_t b : f)
        lrc ^= b;
    f.push_back(lrc);
    return f;
}
void putLE(Bytes &b, uint32_t v, int n)
{
    for (int i = 0; i < n; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

struct Meas {
    uint32_t key; // also its packed date, so the host's copy names it
    int blocks, perBlock;
    int deleted = 0, excused = 0; // excused: copies the host may hold beyond one
};

// A data logger: stop-and-wait on its side too. While its own frame awaits an ACK it takes
// nothing else; it repeats the frame after kDeviceAckMs or a NAK, and gives up after three.
struct Device {
    uint32_t din;
    std::vector<Meas> meas;
    bool unwantedPeer = false; // sends well-formed frames nobody asked for, answers nothing
    Bytes rx, pending;
    int attempts = 0, block = -1; // block of the pending frame; 0 header, -1 no measurement
    int64_t ackAt = kNever, unwantedAt = kNever;
    bool ackLost = false, asleep = false;
    uint16_t packet = 0;
    uint8_t clock[6] = {24, 5, 17, 13, 45, 30}; // year - 2000, month, day, hour, min, sec
    uint32_t reportedEpoch = 0;                 // the clock its last status answer gave, in UTC
    int remaining() const
    {
        return int(
            std::count_if(meas.begin(), meas.end(), [](const Meas &m) { return !m.deleted; }));
    }
    Meas *current()
    {
        for (Meas &m : meas)
            if (!m.deleted)
                return &m;
        return nullptr;
    }
    bool awaitingLastBlock() { return block > 0 && current() && block == current()->blocks; }
};

struct Held {
    uint32_t key;
    std::string din;
    bool intact;
};

struct Run;
class SimLink : public com::ComAbstract {
public:
    explicit SimLink(Run &run) : run(run) {}
    int write(const uint8_t *data, int size) override;
    int read(uint8_t *buffer, int size) override;
    bool setTimeout(int ms) override
    {
        timeoutMs = ms < 0 ? 1000 : ms;
        return true;
    }
    bool open() override { return true; }
    bool close() override { return true; }
    bool isConnected() override;
    void discardInput() override;
    bool isDataAvailable() override;
    bool waitForInput(int ms) override;

private:
    int available();
    Run &run;
    int timeoutMs = 1000;
};

struct Run {
    Rng rng;
    bool active[kRows] = {};
    bool verbose = false;
    sim::SimChannel *channel = nullptr;
    std::vector<Device> devices;
    Device *dev = nullptr; // the device behind the current connection
    std::deque<std::pair<int64_t, Bytes>> toHost, toDevice;
    int64_t lastToHost = 0, lastToDevice = 0, deadAt = kNever, halfOpenAt = kNever;
    int64_t cutBytes = -1, stopAt = kNever, stopRaisedAt = kNever, heldAt = kNever;
    int unwantedSent = 0, sessions = 0;
    std::vector<std::pair<uint8_t, uint32_t>> commands; // reached a device since the last event
    std::string owner;                                  // whom they were meant for, when known
    std::map<std::string, int> transfersLeft, keepOnline, calibrate;
    std::map<std::string, bool> syncFirst;
    std::vector<Held> held;
    std::vector<std::string> violations;

    void fire(Row r)
    {
        ++rows[r].fired;
        if (verbose)
            std::printf("  t=%lld fault %s\n", (long long)gNow, rows[r].name);
    }
    void violate(const std::string &what)
    {
        if (violations.empty() || violations.back() != what)
            violations.push_back(what);
    }

    // Bytes onto the wire, through the faults of the run.
    void transmit(bool toDev, Bytes bytes, bool trickle = false)
    {
        const bool control = bytes.size() == 1;
        auto lost = [&](Row r) {
            if (r != kRows)
                fire(r);
            if (toDev && control && bytes[0] == kAck && dev->awaitingLastBlock())
                dev->ackLost = true;
        };
        if (gNow >= deadAt)
            return lost(kRows);
        if (gNow >= halfOpenAt) { // silent for ever from now on, yet never closed
            fire(HalfOpen);
            halfOpenAt = kNever;
            halfOpen = true;
        }
        if (halfOpen)
            return lost(kRows);
        const Row drop = control ? DropAck : DropFrame, garble = control ? GarbleAck : GarbleFrame;
        if (active[drop] && rng.chance(6))
            return lost(drop);
        if (active[garble] && rng.chance(6)) {
            lost(garble);
            size_t at = size_t(rng.below(int(bytes.size())));
            if (at == 3 || at == 4) // the length: a one-byte XOR may then pass; see garble-length
                at = active[GarbleLength] ? (fire(GarbleLength), at) : 0;
            bytes[at] ^= uint8_t(1 << rng.below(8));
        }
        bool cut = false;
        if (cutBytes >= 0) {
            cut = int64_t(bytes.size()) > cutBytes;
            if (cut) {
                fire(Cut);
                bytes.resize(size_t(cutBytes));
            }
            cutBytes = cut ? -1 : cutBytes - int64_t(bytes.size());
        }
        int delay = 0;
        if (active[Delay] || active[LongDelay]) {
            delay = rng.below(active[LongDelay] ? 5000 : 1400);
            fire(active[LongDelay] ? LongDelay : Delay);
        }
        int64_t &last = toDev ? lastToDevice : lastToHost;
        last = std::max(last, gNow + delay);
        auto &queue = toDev ? toDevice : toHost;
        if (trickle) {
            for (uint8_t b : bytes)
                queue.emplace_back(last += 10000 + rng.below(10000), Bytes{b});
        } else if (!bytes.empty()) {
            queue.emplace_back(last, bytes);
        }
        if (cut)
            deadAt = last;
    }
    bool halfOpen = false;

    // The device's side.
    void deviceSend(uint8_t command, const Bytes &data, int block)
    {
        Device &d = *dev;
        d.pending = frameOf(d.packet++, command, data);
        d.attempts = 0;
        d.block = block;
        deviceResend();
    }
    void deviceResend()
    {
        Device &d = *dev;
        d.ackLost = false;
        const bool trickle = active[Trickle] && d.pending[5] != CMD_HANDSHAKE;
        if (trickle)
            fire(Trickle);
        transmit(false, d.pending, trickle);
        d.ackAt = std::max(gNow, lastToHost) + kDeviceAckMs;
        ++d.attempts;
    }
    void deviceGiveUp()
    {
        Device &d = *dev;
        if (d.awaitingLastBlock() && (d.ackLost || gNow >= deadAt || halfOpen))
            ++d.current()->excused; // the host may have kept it: its ACK never came
        d.ackAt = kNever;
        d.block = -1;
    }
    void deviceAcked()
    {
        Device &d = *dev;
        d.ackAt = kNever;
        Meas *m = d.current();
        if (d.block < 0 || !m)
            return;
        if (d.block == m->blocks) {
            m->deleted = 1;
            d.block = -1;
            return;
        }
        Bytes data{uint8_t(d.block + 1)};
        for (int i = 0; i < m->perBlock; ++i)
            putLE(data, sampleOf(m->key, d.block * m->perBlock + i), 2);
        deviceSend(CMD_MEASUREMENT_BLOCK, data, d.block + 1);
    }
    void deviceCommand(uint8_t command, const Bytes &data)
    {
        Device &d = *dev;
        commands.emplace_back(command, d.din);
        transmit(false, Bytes{kAck});
        if (d.unwantedPeer)
            return;
        Bytes answer;
        switch (command) {
        case CMD_GET_AVAILABLE_MEASUREMENT:
            putLE(answer, uint32_t(d.remaining()), 2);
            return deviceSend(command, answer, -1);
        case CMD_RETRIEVE_NEXT_MEASUREMENT:
            if (Meas *m = d.current()) {
                putLE(answer, uint32_t(m->blocks), 2);
                putLE(answer, m->key, 4);
                answer.push_back(1);
                putLE(answer, uint32_t(m->blocks * m->perBlock), 4);
                return deviceSend(CMD_MEASUREMENT_HEADER, answer, 0);
            }
            answer.assign(11, 0);
            return deviceSend(CMD_MEASUREMENT_HEADER, answer, -1);
        case CMD_GET_DEVICE_STATUS: {
            const uint8_t *c = d.clock;
            answer.assign(12, 0);
            putLE(answer,
                  uint32_t(c[0] << 26 | c[1] << 22 | c[2] << 17 | c[3] << 12 | c[4] << 6 | c[5]),
                  4);
            answer.resize(30);
            std::tm utc{c[5], c[4], c[3], c[2], c[1] - 1, c[0] + 100, 0, 0, 0, 0, nullptr};
            d.reportedEpoch = uint32_t(timegm(&utc));
            return deviceSend(command, answer, -1);
        }
        case CMD_SET_DATE_TIME:
            if (data.size() == 7)
                std::copy(data.begin(), data.begin() + 6, d.clock);
            return;
        case CMD_KEEP_ALIVE:
        case CMD_REAL_TIME:
            return deviceSend(command, data, -1);
        case CMD_SLEEP:
            d.asleep = true;
            deadAt = std::max(gNow, lastToHost) + 100; // and it hangs up
            return;
        default:
            return;
        }
    }
    void deviceByte(uint8_t b)
    {
        Device &d = *dev;
        const bool awaiting = d.ackAt != kNever;
        if (d.rx.empty() && b != kStx) {
            if (awaiting && b == kAck && active[Duplicate] && rng.chance(6)) {
                fire(Duplicate); // it missed the ACK: the same frame again at once
                d.ackLost = true;
                d.attempts < kDeviceAttempts ? deviceResend() : deviceGiveUp();
            } else if (awaiting && b == kAck) {
                deviceAcked();
            } else if (awaiting && b == kNak)
                d.attempts < kDeviceAttempts ? deviceResend() : deviceGiveUp();
            return;
        }
        d.rx.push_back(b);
        const size_t need = d.rx.size() >= 6 ? size_t(d.rx[3] << 8 | d.rx[4]) + 5 : 0;
        if (need > 2048 || (need > 0 && need < 7)) // noise, not a frame
            d.rx.clear();
        if (need == 0 || d.rx.size() < need)
            return;
        uint8_t lrc = 0;
        for (size_t i = 0; i + 1 < need; ++i)
            lrc ^= d.rx[i];
        const Bytes data(d.rx.begin() + 6, d.rx.end() - 1);
        const uint8_t command = d.rx[5];
        const bool good = lrc == d.rx.back();
        d.rx.clear();
        if (awaiting || d.asleep)
            return; // one thing at a time: the host's frame goes unanswered
        good ? deviceCommand(command, data) : transmit(false, Bytes{kNak});
    }
    void sendUnwanted()
    {
        static const uint8_t kinds[] = {CMD_MEASUREMENT_HEADER, CMD_KEEP_ALIVE, CMD_HANDSHAKE,
                                        CMD_GET_AVAILABLE_MEASUREMENT};
        const uint8_t command = kinds[rng.below(4)];
        Bytes data(size_t(rng.below(12)), uint8_t(rng.below(256)));
        if (command == CMD_HANDSHAKE && rng.chance(50))
            data.assign({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}); // a DIN too long
        fire(Unwanted);
        transmit(false, frameOf(dev->packet++, command, data));
        ++unwantedSent;
        dev->unwantedAt = gNow + 20 + rng.below(80);
    }

    // The scheduler: every device, link and stop event in time order.
    int64_t nextEvent() const
    {
        const int64_t t = std::min({dev->ackAt, dev->unwantedAt, stopAt, heldAt});
        return toDevice.empty() ? t : std::min(t, toDevice.front().first);
    }
    // The next moment something may change for a host waiting on the link.
    int64_t nextWakeUp() const
    {
        int64_t t = std::min(nextEvent(), deadAt);
        for (const auto &chunk : toHost)
            if (chunk.first > gNow)
                return std::min(t, chunk.first);
        return t;
    }
    void runUntil(int64_t until)
    {
        for (int64_t t; (t = nextEvent()) <= until;) {
            gNow = std::max(gNow, t);
            if (gNow >= stopAt || gNow >= heldAt) {
                if (gNow >= heldAt)
                    violate("connection held longer than " + std::to_string(kHeldBoundMs / 1000) +
                            " s");
                if (gNow >= stopAt)
                    fire(StopAny);
                stopAt = heldAt = kNever;
                stopRaisedAt = gNow;
                channel->raiseStop();
            }
            while (!toDevice.empty() && toDevice.front().first <= gNow) {
                const Bytes bytes = std::move(toDevice.front().second);
                toDevice.pop_front();
                for (uint8_t b : bytes)
                    deviceByte(b);
            }
            if (dev->ackAt <= gNow)
                dev->attempts < kDeviceAttempts ? deviceResend() : deviceGiveUp();
            if (dev->unwantedAt <= gNow)
                sendUnwanted();
        }
        gNow = std::max(gNow, until);
    }
    void sleep(int ms) // a slow host stops being slow once a stop is raised
    {
        for (const int64_t end = gNow + ms; gNow < end && !channel->stop.isRaised();)
            runUntil(std::min(end, nextEvent()));
    }

    // The host: its answers, what it keeps, and the checks each event allows.
    void attribute(const std::string &din)
    {
        const std::string meant = owner.empty() ? din : owner;
        for (const auto &[command, to] : commands)
            if (!meant.empty() && dinText(to) != meant)
                violate("command " + std::to_string(command) + " meant for " + meant + " reached " +
                        dinText(to));
        commands.clear();
    }
    void onEvent(lumo_Event event, lumo_EventData *rec)
    {
        runUntil(gNow); // what the library wrote has reached the device
        const std::string din = rec ? std::string(rec->din) : std::string();
        attribute(din);
        owner.clear();
        const Row slow = event == EV_DEVICE_HANDSHAKE ? SlowHandshake : SlowHost;
        if (active[slow] && rng.chance(20)) {
            fire(slow);
            sleep(rng.below(slow == SlowHandshake ? 4000 : 2500));
        }
        switch (event) {
        case EV_DEVICE_HANDSHAKE:
            rec->answer = active[Refuse] && rng.chance(30) ? (fire(Refuse), 0u) : 1u;
            owner = din;
            break;
        case EV_DEVICE_ADDED:
            syncFirst[din] = rng.chance(30);
            transfersLeft[din] = 3;
            keepOnline[din] = rng.chance(10) ? 35 : 0; // a keep-alive or so
            calibrate[din] = active[Unwanted] ? 300 : active[HalfOpenCalib] ? 1 << 30 : 0;
            if (active[HalfOpenCalib])
                fire(HalfOpenCalib);
            break;
        case EV_REQUEST_ACTION:
            if (active[OutOfRange] && rng.chance(20)) {
                fire(OutOfRange);
                const uint32_t answers[] = {6u + uint32_t(rng.below(1000)), 0xFFFFFFFFu, SYNC};
                rec->answer = answers[rng.below(3)];
                rec->answerLength = 0xFFFFFFFFu;
                break;
            }
            rec->answer = nextAction(din);
            if (rec->answer == CONTROL || rec->answer == SLEEP)
                owner = din;
            break;
        case EV_MEASUREMENT:
            keep(din, *reinterpret_cast<const Measurement *>(rec->payload), rec->reserved);
            if (active[Refuse] && rng.chance(15)) {
                fire(Refuse);
                held.pop_back();
                rec->answer = 1;
            }
            break;
        case EV_SYNC_DONE: // the clock reads back as the device has it (UTC, as written)
            if (dinText(dev->din) == din &&
                reinterpret_cast<const DeviceStatus *>(rec->payload)->deviceTime !=
                    dev->reportedEpoch)
                violate(
                    "clock of " + din + " read back off by " +
                    std::to_string(
                        int64_t(reinterpret_cast<const DeviceStatus *>(rec->payload)->deviceTime) -
                        dev->reportedEpoch) +
                    " s");
            break;
        case EV_TRANSFER_DONE:
            transfersLeft[din] = 0;
            for (Device &d : devices)
                if (dinText(d.din) == din && &d == dev && d.remaining() > 0)
                    violate("EV_TRANSFER_DONE for " + din + " while it holds " +
                            std::to_string(d.remaining()));
            break;
        default:
            break;
        }
    }
    uint32_t nextAction(const std::string &din)
    {
        if (syncFirst[din])
            return syncFirst[din] = false, SYNC;
        int &left = transfersLeft[din];
        if (left > 0)
            return --left, DATA_TRANSFER;
        if (keepOnline[din] > 0)
            return --keepOnline[din], CONTROL;
        if (calibrate[din] > 0)
            return --calibrate[din], CALIBRATION;
        return rng.chance(50) ? SLEEP : EXIT;
    }
    void keep(const std::string &din, const Measurement &m, uint32_t samples)
    {
        for (Device &d : devices)
            for (Meas &own : d.meas)
                if (own.key == m.dtime.packed) {
                    bool same = int(samples) == own.blocks * own.perBlock;
                    for (int i = 0; same && i < int(samples); ++i)
                        same = m.samples[i] == sampleOf(own.key, i);
                    held.push_back({own.key, din, same && dinText(d.din) == din});
                    return;
                }
        violate("delivered a measurement no device sent, under " + din);
    }

    // One run: the devices, the faults, one to three connections, then the checks.
    void play(sim::SimChannel &ch)
    {
        channel = &ch;
        ch.serial = rng.chance(50);
        for (int r = 0; r < kRows; ++r)
            if ((active[r] = rowOn[r] && rng.chance(rows[r].percent)))
                ++rows[r].runs;
        const int count = active[Reopen] ? 2 : 1;
        for (int i = 0; i < count; ++i) {
            Device d;
            d.din = uint32_t(111000001 + 111000000 * i + rng.below(1000));
            for (int k = rng.below(4); k > 0; --k)
                d.meas.push_back({uint32_t(i << 16 | k), 1 + rng.below(3), 1 + rng.below(8)});
            d.unwantedPeer = active[Unwanted];
            if (active[ClockZone] && rng.chance(50)) // inside the spring daylight-saving gap
                std::copy_n((const uint8_t[]){24, 3, 31, 2, 30, 0}, 6, d.clock);
            devices.push_back(d);
        }
        if (active[Reopen])
            ch.serial = true;
        if (active[StopAny])
            stopAt = gNow + rng.below(30000);
        if (active[ClockZone]) {
            fire(ClockZone);
            setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
            tzset();
        }
        for (int c = 0; c < kMaxConnections && !ch.stop.isRaised(); ++c) {
            dev = &devices[size_t(active[Reopen] && c == 1)];
            if (active[Reopen] && c == 1)
                fire(Reopen); // the same port, another device behind it
            if (dev->asleep || (c > 0 && !dev->remaining() && !(active[Reopen] && c == 1)))
                continue;
            connect(c == 0);
        }
        check();
        if (active[ClockZone]) {
            setenv("TZ", "UTC", 1);
            tzset();
        }
    }
    void connect(bool faulty)
    {
        Device &d = *dev;
        sessions++;
        toHost.clear();
        toDevice.clear();
        lastToHost = lastToDevice = gNow;
        deadAt = halfOpenAt = kNever;
        halfOpen = false;
        cutBytes = faulty && (active[Cut] || active[Reopen]) ? rng.below(400) : -1;
        if (faulty && (active[HalfOpen] || active[HalfOpenCalib]))
            halfOpenAt = gNow + rng.below(20000);
        heldAt = gNow + kHeldBoundMs;
        unwantedSent = 0;
        d.rx.clear();
        d.ackAt = d.unwantedAt = kNever;
        d.block = -1;
        Bytes hello;
        putLE(hello, d.din, 4);
        putLE(hello, 0x30A5B4C3, 4);
        putLE(hello, 0x0100, 2);
        putLE(hello, 0x1234, 2);
        deviceSend(CMD_HANDSHAKE, hello, -1);
        if (d.unwantedPeer)
            d.unwantedAt = gNow + 500;
        sim::runConnection(*channel, std::make_unique<SimLink>(*this), &Run::callback, this);
        if (stopRaisedAt != kNever && gNow - stopRaisedAt > kStopBoundMs)
            violate("stop took " + std::to_string(gNow - stopRaisedAt) + " ms");
        if (unwantedSent > kUnwantedBound)
            violate("connection kept open through " + std::to_string(unwantedSent) +
                    " unwanted frames");
        for (const auto &chunk : toDevice) // what the host wrote last still arrives
            for (uint8_t b : chunk.second)
                deviceByte(b);
        attribute(std::string());
        if (d.ackAt != kNever)
            deadAt = gNow, deviceGiveUp(); // the connection is gone
        d.unwantedAt = kNever;
        gNow += 1000; // the next connection comes a little later
    }
    static int callback(lumo_Event event, void *data, void *user, lumo_ErrorCodes)
    {
        static_cast<Run *>(user)->onEvent(event, static_cast<lumo_EventData *>(data));
        return 0;
    }
    void check()
    {
        bool benign = !channel->stop.isRaised();
        for (int r = 0; r < kRows; ++r)
            benign = benign && (!active[r] || rows[r].benign);
        for (const Device &d : devices) {
            for (const Meas &m : d.meas) {
                int copies = 0;
                for (const Held &h : held)
                    if (h.key == m.key) {
                        ++copies;
                        if (!h.intact)
                            violate("measurement of " + dinText(d.din) + " held under " + h.din +
                                    " or not sample for sample");
                    }
                if (m.deleted && copies == 0)
                    violate("measurement deleted by " + dinText(d.din) + " never held");
                if (copies > 1 + m.excused)
                    violate("measurement of " + dinText(d.din) + " held " + std::to_string(copies) +
                            " times");
            }
            if (benign && d.remaining() > 0)
                violate("not served on a link that only was slow: " + dinText(d.din) + " kept " +
                        std::to_string(d.remaining()));
        }
    }
};

int SimLink::available()
{
    run.runUntil(gNow);
    int n = 0;
    for (const auto &[at, bytes] : run.toHost)
        if (at <= gNow)
            n += int(bytes.size());
    return n;
}
int SimLink::write(const uint8_t *data, int size)
{
    if (run.channel->stop.isRaised() || gNow >= run.deadAt)
        return -1;
    run.transmit(true, Bytes(data, data + size));
    return size;
}
int SimLink::read(uint8_t *buffer, int size)
{
    const int64_t end = gNow + timeoutMs;
    for (;;) {
        if (run.channel->stop.isRaised())
            return -1;
        if (available() > 0) {
            int n = 0;
            while (n < size && !run.toHost.empty() && run.toHost.front().first <= gNow) {
                Bytes &chunk = run.toHost.front().second;
                const int take = std::min(size - n, int(chunk.size()));
                std::memcpy(buffer + n, chunk.data(), size_t(take));
                chunk.erase(chunk.begin(), chunk.begin() + take);
                n += take;
                if (chunk.empty())
                    run.toHost.pop_front();
            }
            return n;
        }
        if (gNow >= run.deadAt)
            return -1;
        const int64_t next = run.nextWakeUp();
        run.runUntil(std::min(next, end));
        if (next > end)
            return 0;
    }
}
bool SimLink::isConnected()
{
    return gNow < run.deadAt || available() > 0;
}
void SimLink::discardInput()
{
    available();
    while (!run.toHost.empty() && run.toHost.front().first <= gNow)
        run.toHost.pop_front();
}
bool SimLink::isDataAvailable()
{
    // Looking costs a little time, as it does on a real clock: a loop that only looks (until
    // a deadline it sits exactly on) moves on.
    static int64_t lastLook = 0;
    static int looks = 0;
    looks = gNow == lastLook ? looks + 1 : 0;
    lastLook = gNow;
    if (looks > 64)
        run.runUntil(gNow + 1);
    return available() > 0;
}
bool SimLink::waitForInput(int ms)
{
    const int64_t end = gNow + ms;
    while (available() == 0 && gNow < end && gNow < run.deadAt && !run.channel->stop.isRaised())
        run.runUntil(std::min(run.nextWakeUp(), end));
    return available() > 0;
}

int openDescriptors()
{
    int n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t seed = 1, runs = 1000;
    bool verbose = false, all = false;
    std::string on, off, only;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--seed")
            seed = std::strtoull(value, nullptr, 10), ++i;
        else if (a == "--runs")
            runs = std::strtoull(value, nullptr, 10), ++i;
        else if (a == "--on")
            on = value, ++i;
        else if (a == "--off")
            off = value, ++i;
        else if (a == "--only")
            only = value, ++i;
        else if (a == "--all")
            all = true;
        else if (a == "-v")
            verbose = true;
        else {
            std::printf("usage: %s [--seed N] [--runs N] [--all] [--on|--off|--only row,..] [-v]\n"
                        "Known-failing rows are off unless --all or --on names them.\n",
                        argv[0]);
            return 2;
        }
    }
    std::string rowFlags;
    for (int r = 0; r < kRows; ++r) {
        const std::string name = std::string(",") + rows[r].name + ",";
        rowOn[r] = (all || !rows[r].failing || ("," + on + ",").find(name) != std::string::npos) &&
                   ("," + off + ",").find(name) == std::string::npos;
        if (!only.empty())
            rowOn[r] = ("," + only + ",").find(name) != std::string::npos;
    }
    if (all)
        rowFlags += " --all";
    if (!on.empty())
        rowFlags += " --on " + on;
    if (!off.empty())
        rowFlags += " --off " + off;
    if (!only.empty())
        rowFlags = " --only " + only;
    setenv("TZ", "UTC", 1);
    tzset();
    QLoggingCategory::setFilterRules(verbose ? "default.debug=false" : "*=false");
    if (verbose)
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TimeOut::setClock(&virtualNow);
    const int descriptors = openDescriptors();
    const std::clock_t started = std::clock();
    sim::SimChannel *channel = new sim::SimChannel;
    uint64_t failed = 0, sessions = 0;
    std::map<std::string, uint64_t> kinds;
    for (uint64_t n = 0; n < runs; ++n) {
        Run run;
        run.rng.s = seed + n;
        run.verbose = verbose;
        gNow = 1000000;
        channel->stop.lower();
        channel->devices().clear();
        run.play(*channel);
        sessions += uint64_t(run.sessions);
        if (run.violations.empty())
            continue;
        ++failed;
        for (const std::string &v : run.violations) {
            std::string kind = v.substr(0, v.find_first_of("0123456789"));
            if (++kinds[kind] <= 3 || verbose)
                std::printf("FAIL seed %llu: %s\n  replay: %s --seed %llu --runs 1 -v%s\n",
                            (unsigned long long)(seed + n), v.c_str(), argv[0],
                            (unsigned long long)(seed + n), rowFlags.c_str());
        }
    }
    delete channel;
    const double cpu = double(std::clock() - started) / CLOCKS_PER_SEC;
    if (openDescriptors() != descriptors) {
        std::printf("FAIL descriptors: %d before, %d after\n", descriptors, openDescriptors());
        ++failed;
    }
    std::printf("%llu runs, %llu sessions, %.2f CPU s, %.0f sessions per CPU second, %llu failed\n",
                (unsigned long long)runs, (unsigned long long)sessions, cpu,
                cpu > 0 ? double(sessions) / cpu : 0.0, (unsigned long long)failed);
    for (const auto &[kind, count] : kinds)
        std::printf("  %8llu x %s\n", (unsigned long long)count, kind.c_str());
    std::printf("fault row        on  runs      fired\n");
    for (const FaultRow &r : rows)
        std::printf("%-16s %-3s %-9llu %llu\n", r.name, rowOn[&r - rows] ? "yes" : "no",
                    (unsigned long long)r.runs, (unsigned long long)r.fired);
    return failed == 0 ? 0 : 1;
}
