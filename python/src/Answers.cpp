#include "Answers.h"

#include <cstring>
#include <string>

namespace lumopy {

namespace {

using namespace liblumo;

constexpr uint32_t kAccept = 1;

// lumo.REFUSE: refuses a measurement (and, being false, a device at its handshake).
struct Refuse {};

std::string typeName(py::handle value)
{
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

bool isRefuse(py::handle value)
{
    return py::isinstance<Refuse>(value);
}

bool isTrue(py::handle value)
{
    return value.ptr() == Py_True;
}

bool isFalse(py::handle value)
{
    return value.ptr() == Py_False || isRefuse(value);
}

void answerHandshake(py::handle result, lumo_EventData &record)
{
    if (isTrue(result))
        record.answer = kAccept;
    else if (!result.is_none() && !isFalse(result))
        throw py::type_error("a DEVICE_HANDSHAKE is answered with True (accept) or False "
                             "(refuse), not " +
                             typeName(result));
}

void answerMeasurement(py::handle result, lumo_EventData &record)
{
    if (isFalse(result))
        record.answer = kRefuseMeasurement;
    else if (!result.is_none() && !isTrue(result))
        throw py::type_error("a MEASUREMENT is answered with None or True (kept) or lumo.REFUSE "
                             "or False (the device keeps it), not " +
                             typeName(result));
}

// The parameter record of a SYNC answer: 100 bytes, or an object with to_bytes()
// (lumo.DeviceParams).
void writeParams(py::handle params, lumo_EventData &record)
{
    py::object bytes = py::reinterpret_borrow<py::object>(params);
    if (py::hasattr(params, "to_bytes") && !py::isinstance<py::int_>(params))
        bytes = params.attr("to_bytes")();
    if (!py::isinstance<py::bytes>(bytes) && !py::isinstance<py::bytearray>(bytes))
        throw py::type_error("the parameters of a SYNC answer are lumo.DeviceParams or "
                             "bytes, not " +
                             typeName(params));
    const std::string data = py::isinstance<py::bytes>(bytes) ? bytes.cast<std::string>()
                                                              : std::string(py::bytearray(bytes));
    if (data.size() != sizeof(DeviceParams))
        throw py::value_error("the parameters of a SYNC answer are " +
                              std::to_string(sizeof(DeviceParams)) + " bytes, got " +
                              std::to_string(data.size()));
    std::memcpy(record.answerData, data.data(), data.size());
    record.answerLength = uint32_t(data.size());
}

RequestAction actionFrom(py::handle value)
{
    if (!py::isinstance<RequestAction>(value))
        throw py::type_error("a REQUEST_ACTION is answered with a lumo.Action or "
                             "(lumo.Action.SYNC, params), not " +
                             typeName(value));
    return value.cast<RequestAction>();
}

void answerAction(py::handle result, lumo_EventData &record)
{
    if (result.is_none()) {
        writeDefaultAnswer(EV_REQUEST_ACTION, record);
        return;
    }
    if (py::isinstance<py::tuple>(result)) {
        const auto pair = py::reinterpret_borrow<py::tuple>(result);
        if (pair.size() != 2 || actionFrom(pair[0]) != SYNC)
            throw py::value_error("only SYNC takes parameters: answer (lumo.Action.SYNC, "
                                  "params)");
        writeParams(pair[1], record);
        record.answer = SYNC;
        return;
    }
    const RequestAction action = actionFrom(result);
    // A SYNC without parameters would write zeros over the device's parameters.
    if (action == SYNC)
        throw py::value_error("lumo.Action.SYNC needs the device parameters: answer "
                              "(lumo.Action.SYNC, params)");
    record.answer = action;
}

} // namespace

void writeAnswer(lumo_Event event, py::handle result, lumo_EventData &record)
{
    switch (event) {
    case EV_DEVICE_HANDSHAKE:
        answerHandshake(result, record);
        break;
    case EV_REQUEST_ACTION:
        answerAction(result, record);
        break;
    case EV_MEASUREMENT:
        answerMeasurement(result, record);
        break;
    default:
        break; // nothing is read from the record; the result does not matter
    }
}

void writeDefaultAnswer(lumo_Event event, lumo_EventData &record)
{
    record.answerLength = 0;
    switch (event) {
    case EV_DEVICE_HANDSHAKE:
        record.answer = 0;
        break;
    case EV_REQUEST_ACTION:
        record.answer = EXIT;
        break;
    case EV_MEASUREMENT:
        record.answer = kRefuseMeasurement;
        break;
    default:
        break;
    }
}

py::object refuseMarker()
{
    return py::cast(Refuse{});
}

void bindAnswers(py::module_ &m)
{
    py::enum_<RequestAction>(m, "Action", py::arithmetic(), "The host's answer to REQUEST_ACTION")
        .value("SYNC", SYNC, "read the status; write clock and parameters when the CRCs differ")
        .value("DATA_TRANSFER", DATA_TRANSFER, "transfer every stored measurement")
        .value("CONTROL", CONTROL, "keep the device online with keep-alives")
        .value("CALIBRATION", CALIBRATION, "logged only")
        .value("SLEEP", SLEEP, "send the device to sleep and let it go")
        .value("EXIT", EXIT, "let the device go; nothing is sent");
    py::class_<Refuse>(m, "_Refuse")
        .def("__bool__", [](const Refuse &) { return false; })
        .def("__repr__", [](const Refuse &) { return "lumo.REFUSE"; });
    m.attr("REFUSE") = refuseMarker();
}

} // namespace lumopy
