// One channel of the library as Python sees it: the profile the library reads, the
// Python callback, and a stop that never holds the interpreter lock while it waits.
#ifndef LUMO_PYTHON_CHANNEL_H
#define LUMO_PYTHON_CHANNEL_H

#include <liblumo.h>

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace lumopy {

namespace py = pybind11;

class Channel : public std::enable_shared_from_this<Channel> {
public:
    // Opens the channel; raises RuntimeError when the library could not start it.
    static std::shared_ptr<Channel> open(std::unique_ptr<liblumo::IChannelProfile> profile,
                                         py::object callback, std::string where);
    ~Channel();
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Stops the channel and waits for its last event; a second stop returns at once.
    // Called with the interpreter lock held; releases it while the library stops.
    void stop();
    bool running() const { return open_.load(); }
    int id() const { return id_; }
    const std::string &where() const { return where_; }

    // Stops every open channel (at interpreter exit) and keeps Python out of later
    // callbacks.
    static void stopAllForExit();
    static void stopAll();

private:
    Channel(std::unique_ptr<liblumo::IChannelProfile> profile, py::object callback,
            std::string where);
    static int onEvent(liblumo::lumo_Event event, void *data, void *user,
                       liblumo::lumo_ErrorCodes error);
    void deliver(liblumo::lumo_Event event, liblumo::lumo_EventData *record);

    std::unique_ptr<liblumo::IChannelProfile> profile_; // read by the library until stopped
    py::object callback_;
    std::string where_;
    int id_ = 0;
    std::atomic<bool> open_{false};
    std::mutex stopMutex_; // one stop at a time; taken without the interpreter lock
};

// The one library object of the process.
liblumo::LibLumo &library();

} // namespace lumopy

#endif
