#include "PortProbe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

constexpr int kProbeBacklog = 1;

} // namespace

bool probeTcpPort(uint16_t port, std::string &error)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    if (fd.get() < 0) {
        error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    // Same options as the library's listener, so the answer is the one it will get.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), kProbeBacklog) != 0) {
        error = "cannot listen on TCP port " + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

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
