// The socket calls of the TCP transports on BSD sockets.
#include "transports/SocketApi.h"

#include "transports/PollWait.h"

#include "transports/TimeOut.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace liblumo::com::socketapi {

namespace {

constexpr int kPeerAddressTextSize = INET6_ADDRSTRLEN;

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

sockaddr_in makeAddress(uint32_t networkOrderAddress, uint16_t port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = networkOrderAddress;
    return address;
}

WaitStatus waitFor(int socket, short events, int timeoutMs, int wakeFd)
{
    switch (waitOnDescriptor(socket, events, timeoutMs, wakeFd)) {
    case PollResult::Ready:
        return WaitStatus::Ready;
    case PollResult::TimedOut:
        return WaitStatus::TimedOut;
    case PollResult::Woken:
        return WaitStatus::Woken;
    case PollResult::Gone:
        break;
    }
    return WaitStatus::Failed; // hang-up, error or invalid descriptor only
}

} // namespace

UniqueSocket &UniqueSocket::operator=(UniqueSocket &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueSocket::release()
{
    const int socket = fd;
    fd = kNoSocket;
    return socket;
}

void UniqueSocket::reset(int socket)
{
    if (fd >= 0 && fd != socket)
        closeSocket(fd);
    fd = socket;
}

int createStreamSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

void closeSocket(int socket)
{
    if (socket >= 0)
        ::close(socket); // the descriptor is released even when close reports an error
}

int lastError()
{
    return errno;
}

bool setNonBlocking(int socket, bool nonBlocking)
{
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

bool setReuseAddress(int socket)
{
    const int on = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool setNoDelay(int socket)
{
    const int on = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool setKeepAlive(int socket)
{
    const int on = 1;
    const int idle = kKeepAliveIdleSeconds;
    const int interval = kKeepAliveIntervalSeconds;
    const int probes = kKeepAliveProbes;
    const unsigned userTimeout = kUserTimeoutMs;
    return ::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           ::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout,
                        sizeof userTimeout) == 0;
}

bool bindIPv4(int socket, uint32_t networkOrderAddress, uint16_t port)
{
    const sockaddr_in address = makeAddress(networkOrderAddress, port);
    return ::bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}

bool listenOn(int socket, int backlog)
{
    return ::listen(socket, backlog) == 0;
}

AcceptedPeer acceptIPv4(int listenSocket, bool nonBlocking)
{
    AcceptedPeer peer;
    sockaddr_storage address;
    socklen_t length = sizeof address;
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    int socket;
    do {
        socket = ::accept4(listenSocket, reinterpret_cast<sockaddr *>(&address), &length, flags);
    } while (socket < 0 && errno == EINTR);
    if (socket < 0)
        return peer;
    setNoDelay(socket);
    setKeepAlive(socket);
    char text[kPeerAddressTextSize] = {};
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        if (::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text))
            peer.address = text;
        peer.port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text))
            peer.address = text;
        peer.port = ntohs(v6.sin6_port);
    }
    peer.socket = socket;
    return peer;
}

bool parseIPv4(const std::string &text, uint32_t &networkOrderAddress)
{
    in_addr parsed;
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    networkOrderAddress = parsed.s_addr;
    return true;
}

bool parseListenAddress(const std::string &text, ListenAddress &address)
{
    ListenAddress parsed;
    if (::inet_pton(AF_INET, text.c_str(), parsed.bytes) == 1) {
        address = parsed;
        return true;
    }
    parsed.ipv6 = true;
    if (::inet_pton(AF_INET6, text.c_str(), parsed.bytes) != 1)
        return false;
    address = parsed;
    return true;
}

int createStreamSocketFor(const ListenAddress &address)
{
    if (!address.ipv6)
        return createStreamSocket();
    const int socket = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    const int on = 1;
    if (socket >= 0 && ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        const int error = errno;
        closeSocket(socket);
        errno = error;
        return kNoSocket;
    }
    return socket;
}

bool bindListenAddress(int socket, const ListenAddress &address, uint16_t port)
{
    if (!address.ipv6) {
        uint32_t v4 = 0;
        std::memcpy(&v4, address.bytes, sizeof v4);
        return bindIPv4(socket, v4, port);
    }
    sockaddr_in6 v6;
    std::memset(&v6, 0, sizeof v6);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address.bytes, sizeof v6.sin6_addr);
    return ::bind(socket, reinterpret_cast<const sockaddr *>(&v6), sizeof v6) == 0;
}

ConnectStatus startConnect(int socket, uint32_t networkOrderAddress, uint16_t port)
{
    const sockaddr_in address = makeAddress(networkOrderAddress, port);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return ConnectStatus::Connected;
    if (errno == EINPROGRESS || errno == EINTR)
        return ConnectStatus::InProgress; // an interrupted connect goes on in the background
    return ConnectStatus::Failed;
}

int pendingError(int socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return -1;
    return error;
}

IoResult sendSome(int socket, const uint8_t *data, std::size_t size)
{
    ssize_t sent;
    do {
        sent = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent > 0)
        return {IoStatus::Done, std::size_t(sent)};
    if (sent < 0 && wouldBlock(errno))
        return {IoStatus::WouldBlock, 0};
    return {size == 0 && sent == 0 ? IoStatus::Done : IoStatus::Failed, 0};
}

IoResult receiveSome(int socket, uint8_t *buffer, std::size_t size, bool peek)
{
    const int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
    ssize_t received;
    do {
        received = ::recv(socket, buffer, size, flags);
    } while (received < 0 && errno == EINTR);
    if (received > 0)
        return {IoStatus::Done, std::size_t(received)};
    if (received == 0)
        return {IoStatus::Closed, 0};
    if (wouldBlock(errno))
        return {IoStatus::WouldBlock, 0};
    return {IoStatus::Failed, 0};
}

WaitStatus waitReadable(int socket, int timeoutMs, int wakeFd)
{
    return waitFor(socket, POLLIN, timeoutMs, wakeFd);
}

WaitStatus waitWritable(int socket, int timeoutMs, int wakeFd)
{
    return waitFor(socket, POLLOUT, timeoutMs, wakeFd);
}

} // namespace liblumo::com::socketapi
