#include "Options.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>

namespace lumosim {

namespace {

constexpr uint32_t kDefaultFirstDin = 123456001;
constexpr uint64_t kMaxDevices = 1000;

bool parseUnsigned(const std::string &text, uint64_t max, uint64_t &value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

bool parseClock(const std::string &text, wire::Clock &clock)
{
    if (text == "now") {
        std::time_t t = std::time(nullptr);
        std::tm local{};
        ::localtime_r(&t, &local);
        clock = wire::Clock{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                            local.tm_hour,        local.tm_min,     local.tm_sec};
        return true;
    }
    wire::Clock c;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &c.year, &c.month, &c.day, &c.hour,
                    &c.minute, &c.second, &tail) != 6)
        return false;
    if (!wire::clockValid(c))
        return false;
    clock = c;
    return true;
}

bool parseHostPort(const std::string &text, std::string &host, int &port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    uint64_t p = 0;
    constexpr uint64_t kMaxPort = 65535;
    if (!parseUnsigned(text.substr(colon + 1), kMaxPort, p) || p == 0)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = int(p);
    return true;
}

// The device options are collected first and applied to every device at the end, so
// their order on the command line does not matter.
struct DeviceOptions {
    uint64_t count = 1;
    uint64_t firstDin = kDefaultFirstDin;
    bool measurementsSet = false, blocksSet = false, samplesSet = false, clockSet = false;
    bool crcSet = false, wordSet = false, seedSet = false;
    uint64_t measurements = 0, blocks = 0, samples = 0, crc = 0, word = 0, seed = 0;
    wire::Clock clock;
};

std::vector<SimDevice> buildDevices(const DeviceOptions &o)
{
    std::vector<SimDevice> devices;
    for (uint64_t i = 0; i < o.count; ++i) {
        SimDevice d = defaultDevice(uint32_t(o.firstDin + i));
        if (o.measurementsSet)
            d.measurements = uint32_t(o.measurements);
        if (o.blocksSet)
            d.blocks = uint32_t(o.blocks);
        if (o.samplesSet)
            d.samplesPerBlock = uint32_t(o.samples);
        if (o.clockSet)
            d.clock = o.clock;
        if (o.crcSet)
            setParamCrc(d, uint16_t(o.crc));
        if (o.wordSet)
            d.handshakeWord = uint16_t(o.word);
        if (o.seedSet)
            d.seed = uint32_t(o.seed + i);
        devices.push_back(d);
    }
    return devices;
}

} // namespace

bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error)
{
    DeviceOptions dev;
    SimConfig &cfg = options.config;
    FaultConfig &f = cfg.faults;
    SimTimeouts &t = cfg.timeouts;
    constexpr uint64_t kU16 = 0xFFFF, kU32 = 0xFFFFFFFF, kInt = 0x7FFFFFFF, kAny = ~uint64_t(0);
    int linksGiven = 0;

    // Options that take a number: where it goes and its largest value.
    struct NumberOption {
        uint64_t max;
        std::function<void(uint64_t)> store;
    };
    const std::map<std::string, NumberOption> numbers = {
        {"--devices", {kMaxDevices, [&](uint64_t v) { dev.count = v; }}},
        {"--din", {kU32, [&](uint64_t v) { dev.firstDin = v; }}},
        {"--measurements",
         {kU16, [&](uint64_t v) { dev.measurements = v, dev.measurementsSet = true; }}},
        {"--blocks", {kU16, [&](uint64_t v) { dev.blocks = v, dev.blocksSet = true; }}},
        {"--samples-per-block",
         {kU16, [&](uint64_t v) { dev.samples = v, dev.samplesSet = true; }}},
        {"--crc", {kU16, [&](uint64_t v) { dev.crc = v, dev.crcSet = true; }}},
        {"--handshake-word", {kU16, [&](uint64_t v) { dev.word = v, dev.wordSet = true; }}},
        {"--seed", {kU32, [&](uint64_t v) { dev.seed = v, dev.seedSet = true; }}},
        {"--sessions", {kAny, [&](uint64_t v) { cfg.sessions = v; }}},
        {"--replug-after", {kAny, [&](uint64_t v) { options.replugAfter = v; }}},
        {"--connect-timeout",
         {kInt, [&](uint64_t v) { t.connectMs = options.ptyOpenTimeoutMs = int(v); }}},
        {"--ack-timeout", {kInt, [&](uint64_t v) { t.ackMs = int(v); }}},
        {"--handshake-timeout", {kInt, [&](uint64_t v) { t.handshakeMs = int(v); }}},
        {"--idle-timeout", {kInt, [&](uint64_t v) { t.idleMs = int(v); }}},
        {"--bus-quiet", {kInt, [&](uint64_t v) { t.busQuietMs = int(v); }}},
        {"--bad-lrc", {kAny, [&](uint64_t v) { f.badLrcFrame = v; }}},
        {"--nak", {kAny, [&](uint64_t v) { f.nakHostFrame = v; }}},
        {"--noise", {kU16, [&](uint64_t v) { f.noiseBytes = uint32_t(v); }}},
        {"--delay", {kInt, [&](uint64_t v) { f.answerDelayMs = uint32_t(v); }}},
        {"--silent-after", {kAny, [&](uint64_t v) { f.silentAfterFrames = v; }}},
        {"--drop-after", {kAny, [&](uint64_t v) { f.dropAfterFrames = v; }}},
        {"--pace-baud", {kU32, [&](uint64_t v) { f.paceBaud = uint32_t(v); }}},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            options.help = true;
        } else if (a == "--tcp") {
            if (!value(v))
                return false;
            if (!parseHostPort(v, options.host, options.port)) {
                error = "--tcp wants HOST:PORT, got '" + v + "'";
                return false;
            }
            options.link = LinkKind::Tcp;
            ++linksGiven;
        } else if (a == "--serial") {
            if (!value(options.serialPath))
                return false;
            options.link = LinkKind::Serial;
            ++linksGiven;
        } else if (a == "--pty") {
            options.link = LinkKind::Pty;
            ++linksGiven;
        } else if (a == "--link") {
            if (!value(options.symlinkPath))
                return false;
        } else if (a == "--report") {
            if (!value(options.reportPath))
                return false;
        } else if (a == "--clock") {
            if (!value(v))
                return false;
            if (!parseClock(v, dev.clock)) {
                error = "--clock wants YYYY-MM-DDTHH:MM:SS (years 2000 to 2063) or now, got '" + v +
                        "'";
                return false;
            }
            dev.clockSet = true;
        } else if (a == "--hold") {
            cfg.hold = true;
        } else if (a == "--refill") {
            cfg.refill = true;
        } else if (a == "--fragment") {
            f.fragment = true;
        } else if (a == "--flood") {
            f.flood = true;
        } else if (auto it = numbers.find(a); it != numbers.end()) {
            if (!value(v))
                return false;
            uint64_t n = 0;
            if (!parseUnsigned(v, it->second.max, n)) {
                error = a + " wants a number from 0 to " + std::to_string(it->second.max) +
                        ", got '" + v + "'";
                return false;
            }
            it->second.store(n);
        } else {
            error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (options.help)
        return true;
    if (linksGiven != 1) {
        error = "give exactly one of --tcp, --serial and --pty";
        return false;
    }
    if (options.link != LinkKind::Pty && (!options.symlinkPath.empty() || options.replugAfter)) {
        error = "--link and --replug-after go with --pty";
        return false;
    }
    if (dev.count == 0) {
        error = "--devices wants at least 1";
        return false;
    }
    if (dev.firstDin + dev.count - 1 > kU32) {
        error = "the DINs of all devices must fit in 32 bits";
        return false;
    }
    cfg.devices = buildDevices(dev);
    error = validate(cfg);
    return error.empty();
}

const char *helpText()
{
    return R"(lumo-sim: plays one or several measurement devices (data loggers) towards a host
that uses liblumo, so the library can run without hardware.

Usage: lumo-sim LINK [DEVICES] [SESSIONS] [FAULTS] [--report FILE]

LINK (exactly one)
  --tcp HOST:PORT        connect to the host's TCP port; connection attempts are retried
                         until --connect-timeout, as the host may start listening later
  --serial PATH          use a serial line (tty), set raw 115200 baud 8N1
  --pty                  make a pseudo-terminal pair and print its slave path on stdout;
                         the host opens that path as its serial port. Each session waits
                         for the host to open it (60 s, or --connect-timeout).
    --link PATH          keep a symbolic link PATH pointing at the current slave
    --replug-after N     after every N sessions close the pair and make a new one, as if
                         the device were unplugged and plugged back in (the link follows;
                         the new pair may get the old name). --drop-after N unplugs in the
                         middle of a session the same way.

DEVICES (the same settings for every device)
  --devices N            devices on the link (1); DINs are consecutive
  --din N                DIN of the first device (123456001, shown as 123-456-001)
  --measurements N       stored measurements per device (3)
  --blocks N             data blocks per measurement, 0 to 256 (4); note that a 256th
                         block carries block number 0 on the wire
  --samples-per-block N  samples per block, 0 to 255 (200)
  --clock T              device clock, YYYY-MM-DDTHH:MM:SS or now (2024-05-17T13:45:30)
  --crc N                parameter CRC reported in the handshake (0x1234)
  --handshake-word N     16-bit word of the handshake (0x0100)
  --seed N               waveform seed of the first device, +1 per device (the DIN)
  Numbers may be decimal or 0x-hexadecimal.

  Measurement m (from 0) of a device: header totBlocks = blocks, ns = blocks * samples,
  nss = samples per block, typeset = m % 255 + 1, dtime = clock - (measurements - m) *
  10 minutes. Sample i: even m a sine 32768 + round(16000 * sin(2 pi (i + (seed + m) % 64)
  / 64)), odd m a ramp (seed + 1000 m + i) mod 65536.

WHAT A DEVICE DOES
  It sends its handshake (0x01) and waits for the host's ACK and echo; a host that does
  not answer within --handshake-timeout has refused it. Then it acknowledges every
  command (NAK for a bad checksum) and answers: 0xA4 status, 0xA3 parameters, 0xB0
  count of measurements not yet handed over, 0xB1 next measurement (0x81 header, 0x82
  blocks), 0xF1 and 0x92 echoed; 0xA1 date-time and 0xA2 parameters are stored; 0x91
  sends it to sleep. Its frames are resent up to 3 times after a NAK or --ack-timeout.
  A measurement is handed over once the host acknowledged its last block.

  Several devices share the link, which is half duplex: a device never talks over the
  host. The lowest-DIN device handshakes as soon as the link is up; each further one,
  in ascending DIN order, handshakes only once the link is quiet: no device answering
  and no frame from the host for --bus-quiet MS. A host frame during that wait starts
  it again. A device that has not handshaken yet neither acknowledges nor answers;
  with no accepted device awake, host frames go unacknowledged.
  Frames carry no address: the lowest-DIN accepted awake device holds the link and
  answers every command. Once it has answered a count request (0xB0) and handed over
  all its measurements, the next count request passes the link to the next accepted
  awake device; a device sent to sleep passes it on too. When every awake device has
  handed over everything, commands go to the lowest-DIN awake device again (so:
  transfer from each in turn, then send each to sleep).

SESSIONS
  --sessions N           connect, handshake, serve until every device sleeps, disconnect;
                         N times (1). Serial and pty links stay open between sessions.
  --hold                 after the last device went to sleep keep the link open until the
                         host closes it
  --refill               every session starts with all measurements stored again
  --connect-timeout MS   (10000)    --ack-timeout MS (3000)
  --handshake-timeout MS (2000)     --idle-timeout MS: host silent while a device is
                                    awake is a failure (60000; 0 never)
  --bus-quiet MS         quiet link before a further device handshakes (150); a lone
                         device is never held back. Keep it well below the 3000 ms a
                         host waits for a handshake once its devices are gone

FAULTS (frames are counted from 1 over the whole run)
  --bad-lrc N            send the device's Nth frame once with a wrong checksum
  --nak N                answer the host's Nth valid frame with NAK instead of ACK
  --noise K              write K noise bytes (never 0x02) before every device frame
  --fragment             write every byte with a write call of its own
  --delay MS             wait MS before every answer frame
  --silent-after N       after the device's Nth frame answer nothing more
  --drop-after N         after the device's Nth frame close the link
  --flood                write garbage continuously until the host closes the link
  --pace-baud B          pace the output at B baud, 10 bits a byte (115200: 86.8 us)

REPORT
  At the end one JSON object (one line) tells what the host did: frames received by
  command, ACKs and NAKs, handshakes accepted and unanswered, measurements handed over,
  date-times and parameters written, keep-alive counters, sleeps. It goes to stdout, or
  to FILE with --report FILE.

EXIT STATUS
  0 all sessions played (or stopped by SIGINT/SIGTERM), 1 link or protocol failure
  (the reason on stderr and in the report), 2 bad command line.

EXAMPLES
  lumo-sim --tcp 127.0.0.1:5000 --devices 3 --measurements 4
  lumo-sim --pty --link /tmp/lumo-tty
  lumo-sim --pty --link /tmp/lumo-tty --sessions 5 --replug-after 1
  lumo-sim --tcp 127.0.0.1:5000 --sessions 10000 --measurements 0 --report soak.json
  lumo-sim --tcp 127.0.0.1:5000 --bad-lrc 3 --nak 2 --noise 4
  lumo-sim --serial /dev/ttyUSB0 --pace-baud 115200 --blocks 255 --samples-per-block 255
)";
}

} // namespace lumosim
