#include "Options.h"

#include "Fleet.h"

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
        {"--session-gap", {kInt, [&](uint64_t v) { cfg.sessionGapMs = uint32_t(v); }}},
        {"--fleet", {kMaxFleetDevices, [&](uint64_t v) { options.fleet = uint32_t(v); }}},
        {"--rtt", {kInt, [&](uint64_t v) { cfg.frameDelayMs = uint32_t(v); }}},
        {"--ramp-ms", {kInt, [&](uint64_t v) { options.rampMs = uint32_t(v); }}},
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
        {"--repeat-frame", {kAny, [&](uint64_t v) { f.repeatFrame = v; }}},
        {"--faulty-retrieval", {kAny, [&](uint64_t v) { f.faultyRetrieval = v; }}},
        {"--repeat-block", {kU16, [&](uint64_t v) { f.repeatBlock = uint32_t(v); }}},
        {"--extra-samples", {kU16, [&](uint64_t v) { f.headerExtraSamples = uint32_t(v); }}},
        {"--withhold-blocks", {kU16, [&](uint64_t v) { f.withheldBlocks = uint32_t(v); }}},
    };
    // Options without a value.
    const std::map<std::string, bool *> flags = {
        {"--hold", &cfg.hold},
        {"--refill", &cfg.refill},
        {"--device-per-session", &cfg.devicePerSession},
        {"--fragment", &f.fragment},
        {"--flood", &f.flood},
        {"--swap-first-blocks", &f.swapFirstBlocks},
        {"--last-block-first", &f.lastBlockFirst},
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
        } else if (auto flag = flags.find(a); flag != flags.end()) {
            *flag->second = true;
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
    if (options.fleet &&
        (options.link != LinkKind::Tcp || dev.count != 1 || cfg.hold || cfg.devicePerSession)) {
        error = "--fleet goes with --tcp, and not with --devices, --hold or --device-per-session";
        return false;
    }
    if (options.rampMs && !options.fleet) {
        error = "--ramp-ms goes with --fleet";
        return false;
    }
    if (options.fleet && uint64_t(dev.firstDin) + options.fleet - 1 > kU32) {
        error = "the DINs of all devices must fit in 32 bits";
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
  --blocks N             data blocks per measurement, 0 to 65535 (4); block k carries
                         the block number k & 0xFF on the wire (the 256th carries 0),
                         the header's totBlocks all 16 bits
  --samples-per-block N  samples per block, 0 to 32766 (200); blocks x samples at most
                         16777216
  --clock T              device clock, YYYY-MM-DDTHH:MM:SS or now (2024-05-17T13:45:30)
  --crc N                parameter CRC reported in the handshake (0x1234)
  --handshake-word N     16-bit word of the handshake (0x0100)
  --seed N               waveform seed of the first device, +1 per device (the DIN)
  Numbers may be decimal or 0x-hexadecimal.

  Measurement m (from 0) of a device: header totBlocks = blocks, ns = blocks * samples
  (its low 16 bits), nss = samples per block (low 16 bits), typeset = m % 255 + 1, dtime = clock - (measurements - m) *
  10 minutes. Sample i: even m a sine 32768 + round(16000 * sin(2 pi (i + (seed + m) % 64)
  / 64)), odd m a ramp (seed + 1000 m + i) mod 65536.

WHAT A DEVICE DOES
  It sends its handshake (0x01) and waits for the host's ACK and echo; a host that does
  not answer within --handshake-timeout has refused it. Then it acknowledges every
  command (NAK for a bad checksum) and answers: 0xA4 status, 0xA3 parameters, 0xB0
  count of measurements not yet handed over, 0xB1 next measurement (0x81 header, 0x82
  blocks), 0xF1 and 0x92 echoed; 0xA1 date-time and 0xA2 parameters are stored; 0x91
  sends it to sleep. Its frames are sent up to 3 times in all, again after a NAK or
  --ack-timeout. A measurement is handed over once the host acknowledged every frame of
  it. A header or block still unacknowledged after 3 attempts abandons the retrieval:
  the device keeps that measurement and waits for the host's next command (any other
  frame left unacknowledged fails the run).

  Several devices share the link, which is half duplex: a device never talks over the
  host. The lowest-DIN device handshakes as soon as the link is up; each further one,
  in ascending DIN order, handshakes only once the link is quiet: no device answering
  and no frame from the host for --bus-quiet MS. A host frame during that wait starts
  it again. A device that has not handshaken yet neither acknowledges nor answers;
  with no accepted device awake, host frames go unacknowledged.
  Frames carry no address: the lowest-DIN accepted awake device holds the link and
  answers every command. Once it has answered a count request (0xB0) with 0 (all its
  measurements handed over), the next count request passes the link to the next accepted
  awake device; a device sent to sleep passes it on too. When every awake device has
  handed over everything, commands go to the lowest-DIN awake device again (so:
  transfer from each in turn, then send each to sleep).

FLEET (one process, many devices, each on its own TCP connection)
  --fleet N              play N devices (1 to 100000), DINs --din .. --din + N - 1, each
                         with the DEVICES settings, its seed its DIN and a connection of
                         its own; --sessions N sessions each, every session with all
                         measurements stored again. Each device runs on a thread with a
                         small stack. The descriptor limit is raised to its hard limit.
  --ramp-ms MS           device k starts connecting k * MS / N ms after the start (0)
  --rtt MS               (also without --fleet) wait MS before every write to the host,
                         as over a slow link: a device frame and its ACK, or a host
                         command and its answer, then take about MS
  Report: totals and a row per device (sessions completed and failed, measurements
  handed over, handedOverAll), and a summary line on stderr. Exit status 0 when every
  device completed every session and handed over all its measurements, 3 when not, 1
  when the fleet could not start.

SESSIONS
  --sessions N           connect, handshake, serve until every device sleeps, disconnect;
                         N times (1). Serial and pty links stay open between sessions.
  --hold                 after the last device went to sleep keep the link open until the
                         host closes it
  --refill               every session starts with all measurements stored again
  --device-per-session   the devices take turns, one per session (a new connection
                         over TCP): session n plays only the nth device in DIN order,
                         starting again after the last; each keeps what it handed over.
                         Give --sessions too.
  --session-gap MS       wait MS between one session and the next (0), as a device that
                         calls again later
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
  --drop-after N         after the device's Nth frame close the link (before its ACK;
                         in the middle of a measurement when N is one of its frames)
  --flood                write garbage continuously until the host closes the link
  --pace-baud B          pace the output at B baud, 10 bits a byte (115200: 86.8 us)
  --repeat-frame N       take the host's ACK of the device's Nth frame (not a handshake)
                         as garbled: send the identical frame (same packet number) again;
                         the report counts it in framesAckedTwice when ACKed again

  Measurement faults, in the retrieval chosen by --faulty-retrieval (every one without):
  --faulty-retrieval N   only the Nth retrieval of a stored measurement (0xB1 answered
                         with one, counted over the run and all devices from 1)
  --repeat-block K       send block K again as a new frame (next packet number, same
                         content) once its first copy was acknowledged
  --swap-first-blocks    send blocks 1 and 2 as 2, 1, 3, ...
  --last-block-first     send the last block first, then 1, 2, ... up to the one before
  --extra-samples N      the header's ns claims N samples more than the blocks carry
  --withhold-blocks N    announce every block but leave out the last N; then wait for
                         the host's next command (the measurement stays stored)

REPORT
  At the end one JSON object (one line) tells what the host did: frames received by
  command, ACKs and NAKs, handshakes accepted and unanswered, measurements handed over,
  date-times and parameters written, keep-alive counters, sleeps. Per device: commands
  served, measurements stored and handed over (with each one's index and sample count),
  retrievals abandoned, frames acknowledged twice, and sessionsLeftWithMeasurements.
  It goes to stdout, or to FILE with --report FILE.

EXIT STATUS
  0 all sessions played (or stopped by SIGINT/SIGTERM), 1 link or protocol failure
  (the reason on stderr and in the report), 2 bad command line, 3 all sessions played
  but in one of them the host sent a device to sleep, refused it, left it unanswered or
  closed the link while it still held measurements (each such device on stderr; a
  session the simulator itself broke off with --drop-after or --silent-after does not
  count).

EXAMPLES
  lumo-sim --tcp 127.0.0.1:5000 --devices 3 --measurements 4
  lumo-sim --pty --link /tmp/lumo-tty
  lumo-sim --pty --link /tmp/lumo-tty --sessions 5 --replug-after 1
  lumo-sim --tcp 127.0.0.1:5000 --sessions 10000 --measurements 0 --report soak.json
  lumo-sim --tcp 127.0.0.1:5000 --bad-lrc 3 --nak 2 --noise 4
  lumo-sim --tcp 127.0.0.1:5000 --fleet 1000 --rtt 100 --ramp-ms 5000 --blocks 255
  lumo-sim --serial /dev/ttyUSB0 --pace-baud 115200 --blocks 255 --samples-per-block 255
)";
}

} // namespace lumosim
