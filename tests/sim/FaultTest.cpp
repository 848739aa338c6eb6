// Every fault option, observed on the wire by a scripted host; the command lines the
// simulator refuses.
#include "ScriptedHost.h"

#include <cstdio>

using namespace simtest;

namespace {

constexpr int kQuietMs = 150;
constexpr std::size_t kFloodRead = 8192;
// One device, DIN 1234, holding one measurement of 3 blocks of 1 sample. Later options
// of a row override these.
constexpr const char *kDevice = "--din 1234 --measurements 1 --blocks 3 "
                                "--samples-per-block 1 --ack-timeout 10000 "
                                "--handshake-timeout 300 --idle-timeout 10000";

// "CC@packet/value": the value is the count (0xB0), the sample count ns (0x81) or the
// block number (0x82); "~n" tells n bytes of noise before it, "!" a wrong checksum.
std::string frameToken(const RawFrame &f)
{
    char command[4];
    std::snprintf(command, sizeof command, "%02X", f.command);
    std::string t = command + ("@" + std::to_string(f.packet));
    if (f.command == 0xB0 || f.command == 0x81)
        t += "/" + std::to_string(le16(f.data, f.command == 0x81 ? 7 : 0));
    if (f.command == 0x82)
        t += "/" + std::to_string(f.data.at(0));
    return t + (f.skipped ? "~" + std::to_string(f.skipped) : "") + (f.lrcOk ? "" : "!");
}

// Plays a host script and returns what the host saw, one token a step:
//   <   read a frame, ACK it (NAK when its checksum is wrong); <n NAK it; <_ say nothing
//   H   the first step only: "< e", seen as H when it is the handshake (01@1) and A
//   e   echo the last frame (the handshake), then read the answer: A, N or - (nothing)
//   >CC send command CC (0x91 carries 0x01), then read the answer; >!CC with a bad LRC
//   /CC send command CC and read nothing
//   .   nothing arrives for a while      x  the link ends
//   F   a flood of bytes arrives, then the run is stopped
std::string play(SimOnThread &t, const std::string &script)
{
    ScriptedHost &h = t.host;
    auto control = [&h] {
        const uint8_t c = h.readControl();
        return c == ACK ? "A" : c == NAK ? "N" : c == 0 ? "-" : "?";
    };
    RawFrame last;
    std::string seen;
    const std::string steps = script[0] == 'H' ? "< e" + script.substr(1) : script;
    for (const std::string &step : words(steps)) {
        std::string token;
        if (step[0] == '<') {
            RawFrame f;
            token = h.readFrame(f) ? frameToken(f) : "?";
            if (step == "<n" || (step == "<" && !f.lrcOk))
                h.write({NAK});
            else if (step == "<")
                h.write({ACK});
            last = f.lrcOk ? f : last;
        } else if (step == "e") {
            h.write(hostFrame(last.packet, last.command, last.data));
            token = control();
        } else if (step[0] == '>' || step[0] == '/') {
            const bool badLrc = step[1] == '!';
            const auto command = uint8_t(std::stoul(step.substr(badLrc ? 2 : 1), nullptr, 16));
            Bytes frame = hostFrame(last.packet, command, command == 0x91 ? Bytes{1} : Bytes{});
            frame.back() ^= badLrc ? 0x5A : 0x00;
            h.write(frame);
            if (step[0] == '>')
                token = control();
        } else if (step == ".") {
            token = h.read(1, kQuietMs).empty() ? "." : "?";
        } else if (step == "x") {
            token = h.read(1).empty() ? "x" : "?"; // the drop count tells it from silence
        } else if (step == "F") {
            token = h.read(kFloodRead).size() == kFloodRead ? "F" : "?";
            t.sim.stop();
        }
        if (!token.empty())
            seen += (seen.empty() ? "" : " ") + token;
    }
    return seen.compare(0, 6, "01@1 A") == 0 ? "H" + seen.substr(6) : seen;
}

struct FaultCase {
    const char *options; // the fault as given on the command line
    const char *script;
    const char *seen;
    uint64_t lumosim::SimReport::*counter; // the report's count of the fault
    uint64_t count;
    const char *result = "ok";
    bool packetSocket = false; // each read returns one write of the device
};

using R = lumosim::SimReport;
constexpr const char *kTransfer = "H >B1 < < < < . >91"; // header and three blocks

const FaultCase kFaults[] = {
    {"", kTransfer, "H A 81@2/3 82@3/1 82@4/2 82@5/3 . A", &R::measurementsHandedOver, 1},
    {"--bad-lrc 2", "H >B0 < < >91", "H A B0@2/1! B0@2/1 A", &R::naksReceived, 1},
    {"--nak 2", "H >B0 . >B0 < >91", "H N . A B0@2/1 A", &R::naksSentByFault, 1},
    // Noise comes before every frame, never before an ACK.
    {"--noise 10", "H >B0 < >91", "01@1~10 A A B0@2/1~10 A", &R::framesSent, 2},
    {"--fragment", "H >B0 < >91", "H A B0@2/1 A", &R::framesSent, 2, "ok", true},
    {"--silent-after 2 --idle-timeout 300", "H >B0 < /B1 .", "H A B0@2/1 .", &R::sessionsWentSilent,
     1},
    {"--drop-after 3", "H >B1 < <_ x", "H A 81@2/3 82@3/1 x", &R::linksDroppedByFault, 1},
    {"--flood", "F", "F", &R::handshakesUnanswered, 0, "stopped"},
    {"--repeat-block 2", "H >B1 < < < < < . >91", "H A 81@2/3 82@3/1 82@4/2 82@5/2 82@6/3 . A",
     &R::measurementsHandedOver, 1},
    {"--swap-first-blocks", kTransfer, "H A 81@2/3 82@3/2 82@4/1 82@5/3 . A",
     &R::measurementsHandedOver, 1},
    {"--last-block-first", kTransfer, "H A 81@2/3 82@3/3 82@4/1 82@5/2 . A",
     &R::measurementsHandedOver, 1},
    {"--extra-samples 5", kTransfer, "H A 81@2/8 82@3/1 82@4/2 82@5/3 . A",
     &R::measurementsHandedOver, 1},
    {"--withhold-blocks 1", "H >B1 < < < . >91", "H A 81@2/3 82@3/1 82@4/2 . A",
     &R::measurementsHandedOver, 0},
    // The ACK of the fifth frame (the last block) counts as garbled: the block comes again.
    {"--repeat-frame 5", "H >B1 < < < < < . >91", "H A 81@2/3 82@3/1 82@4/2 82@5/3 82@5/3 . A",
     &R::framesAckedTwice, 1},
    {"--swap-first-blocks --faulty-retrieval 2", kTransfer, "H A 81@2/3 82@3/1 82@4/2 82@5/3 . A",
     &R::measurementsHandedOver, 1},
    // A host that refuses a block abandons the retrieval; the device keeps the measurement.
    {"", "H >B1 < < <n <n <n . >91", "H A 81@2/3 82@3/1 82@4/2 82@4/2 82@4/2 . A",
     &R::retrievalsAbandoned, 1},
    {"", "H >B1 < < <_ >91", "H A 81@2/3 82@3/1 82@4/2 A", &R::retrievalsAbandoned, 1},
    // Any other frame left unacknowledged fails the run after three sends.
    {"--ack-timeout 300", "H >B0 <_ <_ <_", "H A B0@2/1 B0@2/1 B0@2/1", &R::ackTimeouts, 3,
     "failed"},
    {"", "H >!B0 >B0 < >91", "H N A B0@2/1 A", &R::badLrcReceived, 1},
    {"", "<_", "01@1", &R::handshakesUnanswered, 1},
};

} // namespace

TEST(SimFaults, EachFaultOnTheWire)
{
    for (const FaultCase &c : kFaults) {
        SCOPED_TRACE(std::string(c.options) + " / " + c.script);
        SimOnThread t(commandLine(std::string(kDevice) + " " + c.options),
                      c.packetSocket ? SOCK_SEQPACKET : SOCK_STREAM);
        t.host.byteWise = c.packetSocket; // the device reads byte-sized pieces too
        EXPECT_EQ(play(t, c.script), c.seen);
        const lumosim::SimReport r = t.finish();
        EXPECT_EQ(r.result, c.result) << r.error;
        EXPECT_EQ(r.*c.counter, c.count);
    }
}

TEST(SimOptions, CommandLinesThatAreRefused)
{
    // No link, two links, a port too big, a value missing, no device; totBlocks beyond 16
    // bits, a block beyond one frame, 18 M samples; more than the 4 blocks withheld, no
    // block 5; no such day; a 17-bit CRC; a DIN overflow; --link without --pty; a negative
    // quiet window; unknown; a fleet on a pty, too big a fleet; a ramp without a fleet.
    const std::string bad =
        ";--tcp 127.0.0.1:5000 --pty;--tcp 127.0.0.1:65536;--pty --devices;"
        "--pty --devices 0;--pty --blocks 65536;--pty --samples-per-block 32767;"
        "--pty --blocks 600 --samples-per-block 30000;--pty --withhold-blocks 5;"
        "--pty --repeat-block 5;--pty --clock 2024-02-30T00:00:00;"
        "--pty --crc 0x10000;--pty --din 4294967295 --devices 2;"
        "--tcp h:1 --link /tmp/x;--pty --bus-quiet -1;--pty --frobnicate;"
        "--pty --fleet 2;--tcp h:1 --fleet 100001;--tcp h:1 --ramp-ms 10";
    std::istringstream lines(bad);
    for (std::string args; std::getline(lines, args, ';');) {
        lumosim::Options o;
        std::string error;
        EXPECT_FALSE(lumosim::parseOptions(words(args), o, error)) << args;
        EXPECT_FALSE(error.empty()) << args;
    }
}
