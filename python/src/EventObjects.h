// The Python objects an event reaches the callback as: the event with its kind and DIN,
// and the measurement or device status its record carries, copied out of the record.
#ifndef LUMO_PYTHON_EVENT_OBJECTS_H
#define LUMO_PYTHON_EVENT_OBJECTS_H

#include <liblumo.h>

#include <pybind11/pybind11.h>

namespace lumopy {

namespace py = pybind11;

// Builds the lumo.Event for one callback; record is null for the channel's start and stop.
py::object makeEvent(liblumo::lumo_Event event, int channelId,
                     const liblumo::lumo_EventData *record);

void bindEventObjects(py::module_ &m);

} // namespace lumopy

#endif
