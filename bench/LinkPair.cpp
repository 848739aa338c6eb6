#include "LinkPair.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace bench {

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        reset();
        fd = other.release();
    }
    return *this;
}

Fd::~Fd()
{
    reset();
}

int Fd::release()
{
    const int value = fd;
    fd = -1;
    return value;
}

void Fd::reset()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

namespace {

sockaddr_in loopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void setNoDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool makeRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

LinkPair makeTcpPair()
{
    LinkPair pair;
    Fd listener(::socket(AF_INET, SOCK_STREAM, 0));
    if (!listener.valid())
        return pair;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return pair;
    Fd device(::socket(AF_INET, SOCK_STREAM, 0));
    if (!device.valid() ||
        ::connect(device.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return pair;
    Fd host(::accept(listener.get(), nullptr, nullptr));
    if (!host.valid())
        return pair;
    setNoDelay(device.get());
    setNoDelay(host.get());
    pair.device = std::move(device);
    pair.host = std::move(host);
    return pair;
}

// As a device and a host set a pseudo-terminal up: the device opens the master and leaves
// its settings alone; the host opens the slave by its path and makes it raw. (Setting the
// master's modes too makes the pair's turnaround erratic on Linux: 10k to 150k frames/s.)
LinkPair makePtyPair()
{
    LinkPair pair;
    Fd master = openPtyMaster();
    if (!master.valid())
        return pair;
    Fd slave(::open(ptySlavePath(master.get()).c_str(), O_RDWR | O_NOCTTY));
    if (!slave.valid() || !makeRaw(slave.get()))
        return pair;
    pair.device = std::move(master);
    pair.host = std::move(slave);
    return pair;
}

std::string ptySlavePath(int masterFd)
{
    char name[128] = {};
    if (::ptsname_r(masterFd, name, sizeof name) != 0)
        return {};
    return name;
}

Fd openPtyMaster()
{
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY));
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        return Fd();
    // The slave is made raw before the host sees it, so nothing is echoed or translated
    // before the host has set its own modes.
    Fd slave(::open(ptySlavePath(master.get()).c_str(), O_RDWR | O_NOCTTY));
    if (!slave.valid() || !makeRaw(slave.get()))
        return Fd();
    return master;
}

bool writeAll(int fd, const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool readExact(int fd, uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

int findFreeTcpPort()
{
    Fd probe(::socket(AF_INET, SOCK_STREAM, 0));
    if (!probe.valid())
        return 0;
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (::bind(probe.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(probe.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

} // namespace bench
