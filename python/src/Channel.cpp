#include "Channel.h"

#include "Answers.h"
#include "EventObjects.h"

#include <cerrno>
#include <cstring>
#include <set>

namespace lumopy {

namespace {

using namespace liblumo;

// Channels started and not yet stopped; touched only with the interpreter lock held.
std::set<std::shared_ptr<Channel>> &openChannels()
{
    static auto *channels = new std::set<std::shared_ptr<Channel>>;
    return *channels;
}

// False once the interpreter is going away: callbacks then answer by default without
// entering Python, whose lock can no longer be taken.
std::atomic<bool> pythonAlive{true};

// The channel whose callback this thread is running, to refuse a stop from inside it
// (the library would wait for that very callback).
thread_local const Channel *callbackOf = nullptr;

// A part of an error that is not there (an error raised from C++ has no traceback).
py::object orNone(const py::object &part)
{
    return part ? part : py::none();
}

// Logs a callback's exception with its traceback through Python's logging (logger
// "lumo"); falls back to sys.unraisablehook when even that fails.
void reportCallbackError(py::error_already_set &error, lumo_Event event,
                         const lumo_EventData *record)
{
    try {
        py::object din = record ? py::str(std::string(record->din, strnlen(record->din, kDinSize)))
                                : py::object(py::none());
        py::module_::import("lumo._callbacks")
            .attr("callback_failed")(py::cast(event), din, orNone(error.type()),
                                     orNone(error.value()), orNone(error.trace()));
    } catch (py::error_already_set &again) {
        error.discard_as_unraisable("lumo: on_event");
        again.discard_as_unraisable("lumo: logging a failed on_event");
    } catch (const std::exception &) {
        error.discard_as_unraisable("lumo: on_event");
    }
}

} // namespace

LibLumo &library()
{
    // Never destroyed: its destructor would tear down the registry under channel threads
    // that a process ending without stopping its channels still has.
    static auto *instance = new LibLumo;
    return *instance;
}

Channel::Channel(std::unique_ptr<IChannelProfile> profile, py::object callback, std::string where)
    : profile_(std::move(profile)), callback_(std::move(callback)), where_(std::move(where))
{
}

Channel::~Channel() = default;

std::shared_ptr<Channel> Channel::open(std::unique_ptr<IChannelProfile> profile,
                                       py::object callback, std::string where)
{
    std::shared_ptr<Channel> channel(
        new Channel(std::move(profile), std::move(callback), std::move(where)));
    lumo_ErrorCodes error = ERR_NONE;
    {
        py::gil_scoped_release release;
        channel->id_ = library().startChannel(channel->profile_.get(), &Channel::onEvent,
                                              channel.get(), &error);
    }
    if (error == ERR_PORT_UNAVAILABLE) {
        // An OSError, as Python's own sockets raise for a port they cannot bind.
        PyErr_SetObject(PyExc_OSError,
                        py::make_tuple(EADDRINUSE, "cannot listen on " + channel->where_).ptr());
        throw py::error_already_set();
    }
    if (error != ERR_NONE)
        throw std::runtime_error("lumo: the library could not start a thread for " +
                                 channel->where_);
    // The channel's first callback waits for the lock held here, so it finds the
    // channel registered.
    channel->open_ = true;
    openChannels().insert(channel);
    return channel;
}

void Channel::stop()
{
    if (callbackOf == this)
        throw std::runtime_error("stop() was called from this channel's own on_event; stop a "
                                 "channel from another thread");
    auto self = shared_from_this(); // alive until the end of the stop, whoever holds it
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(stopMutex_);
        if (open_) {
            lumo_ErrorCodes error = ERR_NONE;
            library().stopChannel(id_, &error); // returns after the last event
            open_ = false;
        }
    }
    openChannels().erase(self);
}

void Channel::stopAll()
{
    const auto channels = openChannels(); // stop() erases from the set
    for (const auto &channel : channels)
        channel->stop();
}

void Channel::stopAllForExit()
{
    stopAll();
    pythonAlive = false;
}

int Channel::onEvent(lumo_Event event, void *data, void *user, lumo_ErrorCodes)
{
    auto *channel = static_cast<Channel *>(user);
    auto *record = static_cast<lumo_EventData *>(data);
    if (!pythonAlive) {
        if (record)
            writeDefaultAnswer(event, *record);
        return 0;
    }
    py::gil_scoped_acquire gil;
    channel->deliver(event, record);
    return 0;
}

void Channel::deliver(lumo_Event event, lumo_EventData *record)
{
    callbackOf = this;
    try {
        try {
            py::object result = callback_(makeEvent(event, id_, record));
            if (record)
                writeAnswer(event, result, *record);
        } catch (py::builtin_exception &bad) {
            bad.set_error(); // a result that is no answer: raised as a Python exception
            throw py::error_already_set();
        } catch (py::error_already_set &) {
            throw;
        } catch (const std::exception &other) {
            PyErr_SetString(PyExc_RuntimeError, other.what());
            throw py::error_already_set();
        }
    } catch (py::error_already_set &error) {
        if (record)
            writeDefaultAnswer(event, *record);
        reportCallbackError(error, event, record);
    } catch (...) {
        if (record)
            writeDefaultAnswer(event, *record);
    }
    callbackOf = nullptr;
}

} // namespace lumopy
