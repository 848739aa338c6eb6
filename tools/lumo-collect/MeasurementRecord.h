// Host-side copies of what the library hands over in an event record. The record lives
// only for the callback, so everything the tool keeps is copied into these first.
#ifndef LUMO_COLLECT_MEASUREMENTRECORD_H
#define LUMO_COLLECT_MEASUREMENTRECORD_H

#include <liblumo.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumo_collect {

// How many of the record's samples belong to the measurement. The record does not say:
// the library stores each block's samples after the previous block's, and the samples
// beyond the measurement may be left over from an earlier one. The header's ns and nss
// are device values; the devices we talk to announce the sample count in ns.
enum class SampleCountRule { Ns, Nss, NsTimesNss };

bool parseSampleCountRule(const std::string &text, SampleCountRule &rule);
const char *sampleCountRuleName(SampleCountRule rule);
// The count the rule gives, cut to the record's room (kMaxSamples).
std::size_t sampleCount(SampleCountRule rule, uint16_t ns, uint16_t nss);

struct MeasurementRecord {
    std::string din;
    uint32_t dtimePacked = 0;
    std::string measuredAt; // the device's date and time, "yyyy-MM-dd HH:mm:ss"
    std::string receivedAt; // this computer's local time when the host got it
    uint32_t typeset = 0;
    uint16_t ns = 0;
    uint16_t nss = 0;
    std::vector<uint16_t> samples;
    int64_t id = 0; // row id once stored
};

struct StatusRecord {
    uint32_t status32a = 0;
    uint32_t status32b = 0;
    uint16_t status16a = 0;
    uint32_t deviceTime = 0;
    uint16_t status16b[7] = {};
};

struct SyncRecord {
    std::string din;
    std::string at;
    bool ok = false;
    bool paramsWritten = false;
    std::optional<uint16_t> hostCrc16; // none when no parameter file was given
    std::optional<StatusRecord> status;
};

// The DIN text of a record: at most kDinSize bytes, never read past the field.
std::string dinOf(const liblumo::lumo_EventData &record);
MeasurementRecord copyMeasurement(const liblumo::lumo_EventData &record, SampleCountRule rule);
StatusRecord copyStatus(const liblumo::lumo_EventData &record);
// True when the payload holds anything: a failed SYNC carries the status only when it
// was read, and an unread status leaves the payload zero.
bool payloadHasStatus(const liblumo::lumo_EventData &record);

// "yyyy-MM-dd HH:mm:ss" from the packed device date and time.
std::string formatDeviceTime(uint32_t packed);
// This computer's local time, "yyyy-MM-ddTHH:mm:ss.zzz".
std::string localNow();

} // namespace lumo_collect

#endif
