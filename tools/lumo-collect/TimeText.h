// Times as lumo-collect stores and prints them: UTC with a "Z", to the millisecond
// ("2026-12-08T06:18:04.242Z"), so that stores written on machines in different zones,
// or across a daylight-saving change, order their rows correctly. The device's own time
// (measured_at) is not one of these: it is the device clock as the device reports it.
#ifndef LUMO_COLLECT_TIMETEXT_H
#define LUMO_COLLECT_TIMETEXT_H

#include <cstdint>
#include <string>

namespace lumo_collect {

// Milliseconds since 1970-01-01T00:00:00Z.
int64_t nowMillis();
// "yyyy-MM-ddTHH:mm:ss.zzzZ".
std::string formatUtc(int64_t millis);
std::string utcNow();

// Reads the local-time texts earlier versions stored ("yyyy-MM-ddTHH:mm:ss.zzz", the
// milliseconds optional) with this computer's zone rules for that date. A time that
// occurs twice (the hour repeated when summer time ends) is read as the first of its two
// readings that is not before notBefore (pass the previous row's result to keep rows in
// the order they were written), else as the later one; a time that never occurred (the
// hour skipped when summer time begins) is read as the system reads it, one hour on.
// False for any other text.
bool localTextToMillis(const std::string &text, int64_t notBefore, int64_t &millis);

// The zone the conversion uses, named for messages ("Europe/Berlin", or the TZ value).
std::string localZoneName();

// A bound for the device time ("yyyy-MM-dd", "yyyy-MM-dd HH:mm[:ss]", a "T" in place of
// the space) as measured_at holds it: "yyyy-MM-dd HH:mm:ss". False for anything else,
// including a zone, which device time does not have.
bool parseDeviceTimeBound(const std::string &text, std::string &normalized);

} // namespace lumo_collect

#endif
