// The host's answer, taken from what the Python callback returned, written into the
// event record the library reads when the callback returns.
#ifndef LUMO_PYTHON_ANSWERS_H
#define LUMO_PYTHON_ANSWERS_H

#include <liblumo.h>

#include <pybind11/pybind11.h>

namespace lumopy {

namespace py = pybind11;

// Writes the answer for `result`; raises TypeError or ValueError (nothing written) when
// the callback returned something that is no answer to this event.
void writeAnswer(liblumo::lumo_Event event, py::handle result, liblumo::lumo_EventData &record);

// The answer a device gets when the callback raised or gave no usable answer: a device
// is refused at its handshake, let go (EXIT, nothing is written to it) when asked for
// an action, and keeps a measurement the host could not take.
void writeDefaultAnswer(liblumo::lumo_Event event, liblumo::lumo_EventData &record);

// The object behind lumo.REFUSE (false in a boolean context).
py::object refuseMarker();
void bindAnswers(py::module_ &m);

} // namespace lumopy

#endif
