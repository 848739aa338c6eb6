#include "EventObjects.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace lumopy {

namespace {

using namespace liblumo;

// The packed device time: year-2000 in bits 31..26, month 25..22, day 21..17,
// hour 16..12, minute 11..6, second 5..0.
constexpr int kYearBase = 2000;
struct PackedField {
    int shift;
    uint32_t mask;
};
constexpr PackedField kYear{26, 0x3F}, kMonth{22, 0xF}, kDay{17, 0x1F}, kHour{12, 0x1F},
    kMinute{6, 0x3F}, kSecond{0, 0x3F};

int field(uint32_t packed, PackedField f)
{
    return int((packed >> f.shift) & f.mask);
}

struct MeasurementObject {
    py::object time; // datetime, or None when the device's time is no valid date
    uint32_t timePacked = 0;
    uint32_t typeset = 0;
    uint16_t ns = 0;
    uint16_t nss = 0;
    py::array_t<uint16_t> samples;
};

struct StatusObject {
    uint32_t status32a = 0;
    uint32_t status32b = 0;
    uint16_t status16a = 0;
    uint32_t deviceTime = 0;
    py::tuple status16b;
};

struct EventObject {
    lumo_Event kind = EV_CHANNEL_STARTED;
    int channel = 0;
    uint64_t connection = 0;
    py::object din;
    py::object measurement;
    py::object status;
};

// The device time as a naive datetime; None for a date that does not exist (the packed
// fields are whatever the device sent).
py::object deviceTime(uint32_t packed)
{
    try {
        return py::module_::import("datetime")
            .attr("datetime")(kYearBase + field(packed, kYear), field(packed, kMonth),
                              field(packed, kDay), field(packed, kHour), field(packed, kMinute),
                              field(packed, kSecond));
    } catch (const py::error_already_set &) {
        return py::none();
    }
}

// `reserved` counts the samples that arrived; the header's counts may claim otherwise.
std::size_t samplesArrived(const lumo_EventData &record)
{
    return std::min<std::size_t>(record.reserved, kMaxSamples);
}

py::object measurementFrom(const lumo_EventData &record)
{
    const auto *m = reinterpret_cast<const Measurement *>(record.payload);
    MeasurementObject out;
    out.timePacked = m->dtime.packed;
    out.time = deviceTime(m->dtime.packed);
    out.typeset = m->typeset;
    out.ns = m->ns;
    out.nss = m->nss;
    const auto arrived = samplesArrived(record);
    out.samples = py::array_t<uint16_t>(py::ssize_t(arrived), m->samples); // a copy
    return py::cast(std::move(out));
}

bool payloadHoldsStatus(const lumo_EventData &record)
{
    static const uint8_t zeros[sizeof(DeviceStatus)] = {};
    return std::memcmp(record.payload, zeros, sizeof zeros) != 0;
}

py::object statusFrom(const lumo_EventData &record)
{
    DeviceStatus s;
    std::memcpy(&s, record.payload, sizeof s);
    StatusObject out;
    out.status32a = s.status32a;
    out.status32b = s.status32b;
    out.status16a = s.status16a;
    out.deviceTime = s.deviceTime;
    py::tuple words(std::size(s.status16b));
    for (std::size_t i = 0; i < std::size(s.status16b); ++i)
        words[i] = s.status16b[i];
    out.status16b = words;
    return py::cast(std::move(out));
}

std::string dinText(const lumo_EventData &record)
{
    return std::string(record.din, strnlen(record.din, kDinSize));
}

std::string kindName(lumo_Event kind)
{
    return py::str(py::cast(kind).attr("name")).cast<std::string>();
}

} // namespace

py::object makeEvent(lumo_Event event, int channelId, const lumo_EventData *record)
{
    EventObject out;
    out.kind = event;
    out.channel = channelId;
    out.connection = liblumo::currentConnectionId();
    out.din = py::none();
    out.measurement = py::none();
    out.status = py::none();
    if (record) {
        out.din = py::str(dinText(*record));
        if (event == EV_MEASUREMENT)
            out.measurement = measurementFrom(*record);
        // After a failed sync the status is there only when it was read.
        if (event == EV_SYNC_DONE || (event == EV_ACTION_FAILED && payloadHoldsStatus(*record)))
            out.status = statusFrom(*record);
    }
    return py::cast(std::move(out));
}

void bindEventObjects(py::module_ &m)
{
    py::enum_<lumo_Event>(m, "EventKind", py::arithmetic(), "What an event reports")
        .value("CHANNEL_STARTED", EV_CHANNEL_STARTED)
        .value("CHANNEL_STOPPED", EV_CHANNEL_STOPPED)
        .value("DEVICE_HANDSHAKE", EV_DEVICE_HANDSHAKE)
        .value("DEVICE_ADDED", EV_DEVICE_ADDED)
        .value("REQUEST_ACTION", EV_REQUEST_ACTION)
        .value("PARAMS_UPDATED", EV_PARAMS_UPDATED)
        .value("SYNC_DONE", EV_SYNC_DONE)
        .value("MEASUREMENT", EV_MEASUREMENT)
        .value("KEEPALIVE_FAILED", EV_KEEPALIVE_FAILED)
        .value("TRANSFER_DONE", EV_TRANSFER_DONE)
        .value("ACTION_FAILED", EV_ACTION_FAILED);

    py::class_<MeasurementObject>(m, "Measurement", "One measurement as the device stored it")
        .def_readonly("time", &MeasurementObject::time,
                      "device time (datetime), None when the device sent no valid date")
        .def_readonly("time_packed", &MeasurementObject::timePacked, "device time as sent")
        .def_readonly("typeset", &MeasurementObject::typeset)
        .def_readonly("ns", &MeasurementObject::ns, "samples the device announced")
        .def_readonly("nss", &MeasurementObject::nss, "samples per data block")
        .def_readonly("samples", &MeasurementObject::samples,
                      "the samples that arrived, a NumPy uint16 array the host may keep")
        .def("__repr__", [](const MeasurementObject &o) {
            return "<lumo.Measurement " + py::str(o.time).cast<std::string>() + " typeset " +
                   std::to_string(o.typeset) + ", " + std::to_string(o.samples.size()) +
                   " samples>";
        });

    py::class_<StatusObject>(m, "DeviceStatus", "The device's status block")
        .def_readonly("status32a", &StatusObject::status32a)
        .def_readonly("status32b", &StatusObject::status32b)
        .def_readonly("status16a", &StatusObject::status16a)
        .def_readonly("device_time", &StatusObject::deviceTime,
                      "device clock, read as UTC (as SYNC writes it), epoch seconds")
        .def_readonly("status16b", &StatusObject::status16b)
        .def("__repr__", [](const StatusObject &o) {
            return "<lumo.DeviceStatus device_time " + std::to_string(o.deviceTime) + ">";
        });

    py::class_<EventObject>(m, "Event", "One event of a channel")
        .def_readonly("kind", &EventObject::kind)
        .def_readonly("channel", &EventObject::channel, "id of the channel")
        .def_readonly("connection", &EventObject::connection,
                      "id of the connection the event belongs to (a TCP connection or one "
                      "opening of a serial port, never reused); 0 for channel events")
        .def_readonly("din", &EventObject::din, "the device's DIN text, None for channel events")
        .def_readonly("measurement", &EventObject::measurement,
                      "the Measurement of a MEASUREMENT event, else None")
        .def_readonly("status", &EventObject::status,
                      "the DeviceStatus of SYNC_DONE (and of a failed sync that read it)")
        .def("__repr__", [](const EventObject &o) {
            std::string text = "<lumo.Event " + kindName(o.kind);
            if (!o.din.is_none())
                text += " " + o.din.cast<std::string>();
            return text + ">";
        });
}

} // namespace lumopy
