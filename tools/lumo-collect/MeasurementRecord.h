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

struct MeasurementRecord {
    std::string din;
    uint32_t dtimePacked = 0;
    // Device time: the device's clock as it reports it, "yyyy-MM-dd HH:mm:ss", no zone.
    std::string measuredAt;
    std::string receivedAt; // UTC when the host got it, "yyyy-MM-ddTHH:mm:ss.zzzZ"
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
    std::string at; // UTC, as receivedAt
    bool ok = false;
    bool paramsWritten = false;
    std::optional<uint16_t> hostCrc16; // none when no parameter file was given
    std::optional<StatusRecord> status;
};

// The DIN text of a record: at most kDinSize bytes, never read past the field.
std::string dinOf(const liblumo::lumo_EventData &record);
// The measurement of an EV_MEASUREMENT record with the samples that arrived: the
// record's `reserved` count (cut to the record's room), whatever the header announces.
MeasurementRecord copyMeasurement(const liblumo::lumo_EventData &record);
StatusRecord copyStatus(const liblumo::lumo_EventData &record);
// True when the payload holds anything: a failed SYNC carries the status only when it
// was read, and an unread status leaves the payload zero.
bool payloadHasStatus(const liblumo::lumo_EventData &record);

// The samples as stored: little-endian unsigned 16-bit values, one after the other.
std::vector<uint8_t> samplesToBlob(const std::vector<uint16_t> &samples);
std::vector<uint16_t> blobToSamples(const void *data, std::size_t bytes);
// SHA-256 of the sample blob: with the DIN, packed time, typeset and sample count it
// makes the identity of a measurement in the store.
std::vector<uint8_t> samplesDigest(const std::vector<uint8_t> &blob);

// The status as both stores keep it: a compact JSON object of its fields, and its
// status16b words alone as a compact JSON array.
std::string statusJson(const StatusRecord &status);
std::string status16bJson(const StatusRecord &status);

// "yyyy-MM-dd HH:mm:ss" from the packed device date and time.
std::string formatDeviceTime(uint32_t packed);

} // namespace lumo_collect

#endif
