// lumo._lumo: the compiled half of the Python package `lumo`. Channels, events and
// answers live here; python/lumo/ adds argument checks, DeviceParams and the store reader.
#include "Answers.h"
#include "Channel.h"
#include "EventObjects.h"

#include <QLoggingCategory>
#include <QString>

namespace lumopy {

namespace {

std::shared_ptr<Channel> openTcp(int port, py::object onEvent)
{
    auto profile = std::make_unique<liblumo::TCPProfile>();
    profile->setServerPort(std::to_string(port));
    return Channel::open(std::move(profile), std::move(onEvent),
                         "TCP port " + std::to_string(port));
}

std::shared_ptr<Channel> openSerial(const std::string &path, py::object onEvent)
{
    auto profile = std::make_unique<liblumo::SerialProfile>();
    profile->setPortName(path);
    return Channel::open(std::move(profile), std::move(onEvent), "serial port " + path);
}

// The library logs to Qt's message log, category "default": info for the conversation,
// debug for a trace of every frame, which costs a host much time when nobody reads it.
void setLibraryLogging(bool info, bool debug)
{
    const QString rules = QStringLiteral("default.info=%1\ndefault.debug=%2")
                              .arg(info ? "true" : "false", debug ? "true" : "false");
    QLoggingCategory::setFilterRules(rules);
}

void bindChannel(py::module_ &m)
{
    py::class_<Channel, std::shared_ptr<Channel>>(
        m, "Channel", "An open channel; stop() ends it (also as a context manager)")
        .def_property_readonly("id", &Channel::id)
        .def_property_readonly("running", &Channel::running)
        .def_property_readonly("where", &Channel::where)
        .def("stop", &Channel::stop,
             "Stop the channel; returns after its last event. Stopping twice is harmless.")
        .def("__enter__", [](std::shared_ptr<Channel> self) { return self; })
        .def("__exit__",
             [](Channel &self, py::handle, py::handle, py::handle) {
                 self.stop();
                 return false;
             })
        .def("__repr__", [](const Channel &c) {
            return "<lumo.Channel " + std::to_string(c.id()) + " " + c.where() +
                   (c.running() ? "" : ", stopped") + ">";
        });
}

} // namespace

} // namespace lumopy

PYBIND11_MODULE(_lumo, m)
{
    using namespace lumopy;
    m.doc() = "liblumo channels for Python (use the package lumo)";
    library(); // the library object exists before the first channel
    bindEventObjects(m);
    bindAnswers(m);
    bindChannel(m);
    m.def("_open_tcp", &openTcp, py::arg("port"), py::arg("on_event"));
    m.def("_open_serial", &openSerial, py::arg("path"), py::arg("on_event"));
    m.def("stop_all", &Channel::stopAll, "Stop every open channel.");
    m.def("_stop_all_for_exit", &Channel::stopAllForExit);
    m.def("set_library_logging", &setLibraryLogging, py::arg("info") = true,
          py::arg("debug") = false,
          "Switch the library's log levels (Qt message log, category \"default\") on or off.");
}
