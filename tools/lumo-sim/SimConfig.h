// What the simulator plays: the devices on the link, their stored measurements, the
// faults to inject and the time-outs of the device side.
#ifndef LUMO_SIM_SIMCONFIG_H
#define LUMO_SIM_SIMCONFIG_H

#include "Wire.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace lumosim {

struct StatusValues {
    uint32_t status32a = 0;
    uint32_t status32b = 0;
    uint16_t status16a = 0;
    std::array<uint16_t, 7> status16b{};
};

using ParamBlock = std::array<uint8_t, wire::kParamsSize>;

// One simulated device. Its stored measurements are generated, not kept: see Waveform.h.
struct SimDevice {
    uint32_t din = 0;
    wire::Clock clock;          // the device clock (it does not run on its own)
    uint16_t handshakeWord = 0; // third field of the handshake
    uint16_t paramCrc = 0;      // parameter CRC reported in the handshake
    StatusValues status;
    ParamBlock params{};          // the 94-byte parameter block as on the wire
    uint32_t measurements = 0;    // stored measurements
    uint32_t blocks = 0;          // data blocks per measurement, 0..65535 (numbered k & 0xFF)
    uint32_t samplesPerBlock = 0; // samples per block, 0..32766 (a frame holds 65533 bytes)
    uint32_t seed = 0;            // waveform seed
};

// A measurement carries at most this many samples in all (blocks x samples per block),
// which keeps a generated measurement in memory well bounded.
constexpr uint64_t kMaxSamplesPerMeasurement = uint64_t(1) << 24;

// One-shot faults count frames over the whole run, from 1; 0 switches a fault off.
// The measurement faults (repeatBlock to withheldBlocks) change the measurement sent in
// the faultyRetrieval-th retrieval, or in every retrieval when that is 0.
struct FaultConfig {
    uint64_t badLrcFrame = 0;       // send the device's Nth frame once with a wrong LRC
    uint64_t nakHostFrame = 0;      // answer the host's Nth valid frame with NAK
    uint32_t noiseBytes = 0;        // bytes of noise written before every device frame
    bool fragment = false;          // write every byte with its own write call
    uint32_t answerDelayMs = 0;     // pause before every answer frame
    uint64_t silentAfterFrames = 0; // after the device's Nth frame, answer nothing more
    uint64_t dropAfterFrames = 0;   // after the device's Nth frame, close the link
    bool flood = false;             // write garbage continuously instead of a session
    uint32_t paceBaud = 0;          // pace output at this line rate, 10 bits a byte
    // The host's ACK of the device's Nth frame (not a handshake) is taken as garbled: the
    // identical frame (same packet number and content) goes out again as a resend.
    uint64_t repeatFrame = 0;

    // Retrievals are counted over the run and all devices, from 1: every 0xB1 answered
    // with a stored measurement (not with the empty header).
    uint64_t faultyRetrieval = 0;
    uint32_t repeatBlock = 0;        // block k goes out again as a new frame (next packet
                                     // number, same content) once its first copy was ACKed
    bool swapFirstBlocks = false;    // blocks 1 and 2 go out as 2, 1, 3, ...
    bool lastBlockFirst = false;     // the last block goes out first: B, 1, 2, ..., B-1
    uint32_t headerExtraSamples = 0; // the header's ns claims this many samples more
    uint32_t withheldBlocks = 0;     // the last N blocks are announced but never sent; the
                                     // device then waits for the host's next command
};

// A device after the first on a bus handshakes only once the host has sent nothing for
// this long: long enough for a host between two commands, short against the host's
// patience for the next handshake.
constexpr int kDefaultBusQuietMs = 150;

struct SimTimeouts {
    int connectMs = 10000;               // TCP connect retries; waiting for a host to open the pty
    int ackMs = 3000;                    // wait for the host's ACK of a device frame
    int handshakeMs = 2000;              // wait for the host to accept a handshake and to echo it
    int idleMs = 60000;                  // host silent while devices are awake: failure (0: never)
    int writeMs = 30000;                 // host not reading: failure
    int busQuietMs = kDefaultBusQuietMs; // quiet link before a further device handshakes
};

struct SimConfig {
    std::vector<SimDevice> devices;
    uint64_t sessions = 1;
    // Pause between one session and the next, as a device that calls again later.
    uint32_t sessionGapMs = 0;
    bool hold = false;   // keep the link open after the last device went to sleep
    bool refill = false; // every session starts with all measurements stored again
    // The devices take turns, one per session: session n (from 0) plays only
    // devices[n % devices.size()], in the order given here. Each keeps its state (the
    // measurements it handed over) across its turns.
    bool devicePerSession = false;
    // Every write to the host waits this long first, to play a slow link (a cellular
    // modem): one device frame and its ACK, or one host command and its answer, then
    // take about this long. 0: as fast as the link goes.
    uint32_t frameDelayMs = 0;
    FaultConfig faults;
    SimTimeouts timeouts;
};

// Defaults for device number `index` (0-based) whose DIN is din: clock 2024-05-17
// 13:45:30, handshake word 0x0100, parameter CRC 0x1234, 3 measurements of 4 blocks of
// 200 samples, seed = DIN, status and parameter values derived from the DIN.
SimDevice defaultDevice(uint32_t din);

// Rebuilds the parameter block's CRC bytes from paramCrc.
void setParamCrc(SimDevice &device, uint16_t crc);

// An empty text when the configuration can be played, otherwise what is wrong.
std::string validate(const SimConfig &config);

} // namespace lumosim

#endif
