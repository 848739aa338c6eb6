#include "SerialCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumo_collect {

namespace {

// Closes the descriptor on every path out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

bool probeSerialPath(const std::string &path, std::string &error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "serial device " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        error = "serial device " + path + " is not a character device";
        return false;
    }
    // /dev/null and its kind are character devices too; only a terminal takes line
    // settings. Non-blocking, so a port waiting for a carrier does not hold the check up.
    Fd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        error = "serial device " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!::isatty(fd.get())) {
        error = "serial device " + path + " is not a terminal device (no serial port)";
        return false;
    }
    return true;
}

} // namespace lumo_collect
