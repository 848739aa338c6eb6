#include "TapIo.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

namespace e2e::io {

namespace {
constexpr int64_t kMsPerSecond = 1000;
constexpr long kNsPerMs = 1000000;
} // namespace

bool socketPair(int &first, int &second)
{
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    first = fds[0];
    second = fds[1];
    return true;
}

int freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

namespace {
sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}
} // namespace

int connectTcp(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

int listenTcp(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(fd, 1) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool waitAny(const int *fds, bool *ready, std::size_t count, int timeoutMs)
{
    std::vector<pollfd> polled(count);
    for (std::size_t i = 0; i < count; ++i)
        polled[i] = pollfd{fds[i], POLLIN, 0};
    int result = 0;
    do {
        result = ::poll(polled.data(), polled.size(), timeoutMs);
    } while (result < 0 && errno == EINTR);
    for (std::size_t i = 0; i < count; ++i)
        ready[i] = result > 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return result > 0;
}

long readSome(int fd, uint8_t *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0)
            return long(got);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return kNothingYet;
        if (errno != EINTR)
            return -1;
    }
}

bool writeAll(int fd, const uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::send(fd, data, size, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd writable{fd, POLLOUT, 0};
            ::poll(&writable, 1, int(kMsPerSecond));
            continue;
        }
        if (put <= 0)
            return false;
        data += put;
        size -= std::size_t(put);
    }
    return true;
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int processId()
{
    return int(::getpid());
}

int64_t processCpuMs()
{
    timespec used{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return int64_t(used.tv_sec) * kMsPerSecond + used.tv_nsec / kNsPerMs;
}

} // namespace e2e::io
