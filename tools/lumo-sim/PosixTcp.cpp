#include "PosixTcp.h"

#include "PosixClock.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace lumosim {

namespace {

constexpr int kRetryIntervalMs = 50;

// One connection attempt; 0 on success, else the errno of the failure.
int tryConnect(const addrinfo *ai, UniqueFd &out, const StopSignal *stop, int timeoutMs)
{
    UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
    if (!fd.valid())
        return errno;
    setNonBlocking(fd.get());
    if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS)
            return errno;
        WaitResult w = waitWritable(fd.get(), stop, timeoutMs);
        if (w == WaitResult::Stopped)
            return EINTR;
        if (w == WaitResult::Timeout)
            return ETIMEDOUT;
        int soError = 0;
        socklen_t len = sizeof soError;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
            return errno;
        if (soError != 0)
            return soError;
    }
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    out = std::move(fd);
    return 0;
}

} // namespace

UniqueFd connectTcp(const std::string &host, int port, int timeoutMs, const StopSignal *stop,
                    std::string &error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return UniqueFd();
    }
    const int64_t deadline = monotonicNs() + int64_t(timeoutMs) * kNsPerMs;
    int lastErrno = 0;
    UniqueFd fd;
    for (;;) {
        for (const addrinfo *ai = list; ai && !fd.valid(); ai = ai->ai_next) {
            int leftMs = int((deadline - monotonicNs()) / kNsPerMs);
            lastErrno = tryConnect(ai, fd, stop, leftMs > 0 ? leftMs : 0);
        }
        if (fd.valid() || lastErrno == EINTR || monotonicNs() >= deadline)
            break;
        if (!sleepUnlessStopped(stop, kRetryIntervalMs)) {
            lastErrno = EINTR;
            break;
        }
    }
    ::freeaddrinfo(list);
    if (!fd.valid()) {
        error = "cannot connect to " + host + ":" + service + " within " +
                std::to_string(timeoutMs) +
                " ms: " + (lastErrno == EINTR ? "stopped" : std::strerror(lastErrno));
    }
    return fd;
}

} // namespace lumosim
