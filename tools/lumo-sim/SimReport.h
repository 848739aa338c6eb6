// What the host did, as seen from the device side.
#ifndef LUMO_SIM_SIMREPORT_H
#define LUMO_SIM_SIMREPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace lumosim {

// Lists in the report keep at most this many entries (their counters keep counting).
constexpr std::size_t kMaxRecordedEntries = 1000;

// A measurement the host took: every frame of it was acknowledged. Its samples are
// sampleValue(device, index, i) for i below samples (see Waveform.h).
struct HandedOverMeasurement {
    uint32_t index = 0;     // which stored measurement, from 0
    uint32_t samples = 0;   // samples its blocks carried
    uint16_t totBlocks = 0; // the header as sent
    uint16_t ns = 0;
    uint32_t dtime = 0;
};

struct DeviceReport {
    uint32_t din = 0;
    uint64_t handshakesSent = 0;
    uint64_t handshakesAccepted = 0;
    uint64_t handshakesUnanswered = 0; // no ACK, or no echo, within the handshake time-out
    uint64_t echoMismatches = 0;       // the host echoed something else
    uint64_t countRequests = 0;
    uint64_t retrieveRequests = 0;
    uint64_t measurementsStored = 0; // at the start of a session (every session with refill)
    uint64_t measurementsHandedOver = 0;
    uint64_t measurementsRemaining = 0;
    std::vector<HandedOverMeasurement> handedOver; // in the order they were taken
    // Sessions that ended while the device still held measurements: it was sent to
    // sleep, refused, left unanswered or disconnected by the host first. Sessions ended by
    // a stop or by the simulator's own drop, silence or flood fault do not count.
    uint64_t sessionsLeftWithMeasurements = 0;
    uint64_t retrievalsAbandoned = 0; // a measurement frame unacknowledged after 3 attempts
    uint64_t framesAckedTwice = 0;    // frames sent again after an ACK taken as garbled, and
                                      // acknowledged again
    std::map<int, uint64_t> commandsReceived; // host commands served by this device
    uint64_t statusRequests = 0;
    uint64_t paramRequests = 0;
    uint64_t realTimeCommands = 0;
    uint64_t keepAlivesReceived = 0;
    std::vector<uint64_t> keepAliveCounters;   // the counters as the host sent them
    uint64_t malformedCommands = 0;            // payload of the wrong size or content
    std::vector<std::string> dateTimesWritten; // hex of each 0xA1 payload
    std::vector<std::string> paramsWritten;    // hex of each 0xA2 payload
    uint64_t sleepsReceived = 0;
};

struct SimReport {
    std::string result = "ok"; // "ok", "failed" or "stopped"
    std::string error;         // why, when failed

    uint64_t sessionsStarted = 0;
    uint64_t sessionsCompleted = 0; // every accepted device went to sleep
    uint64_t linksClosedByHost = 0;
    uint64_t linksDroppedByFault = 0;
    uint64_t sessionsWentSilent = 0;

    std::map<int, uint64_t> framesReceived; // host frames with a valid LRC, by command
    uint64_t framesReceivedTotal = 0;
    uint64_t badLrcReceived = 0;   // host frames answered with NAK for their LRC
    uint64_t naksSentByFault = 0;  // valid host frames answered with NAK on request
    uint64_t packetMismatches = 0; // host frames not carrying the device's last number
    uint64_t strayBytes = 0;       // bytes from the host that were neither frame nor answer

    uint64_t framesSent = 0; // device frames, resends not counted
    uint64_t framesResent = 0;
    uint64_t acksReceived = 0;
    uint64_t naksReceived = 0;
    uint64_t ackTimeouts = 0;

    uint64_t handshakesAccepted = 0;
    uint64_t handshakesUnanswered = 0;
    uint64_t measurementsHandedOver = 0;
    uint64_t retrievalsAbandoned = 0;
    uint64_t framesAckedTwice = 0;
    uint64_t floodBytes = 0;

    std::vector<DeviceReport> devices;

    DeviceReport *device(uint32_t din);
    const DeviceReport *device(uint32_t din) const;
    // Devices that ended a session with measurements they did not hand over.
    std::vector<const DeviceReport *> devicesLeftWithMeasurements() const;
    // One JSON object on one line.
    std::string toJson() const;
};

void recordBounded(std::vector<std::string> &list, std::string entry);
void recordBounded(std::vector<uint64_t> &list, uint64_t entry);
void recordBounded(std::vector<HandedOverMeasurement> &list, const HandedOverMeasurement &entry);

} // namespace lumosim

#endif
