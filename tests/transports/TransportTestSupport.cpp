#include "TransportTestSupport.h"

#include <QLoggingCategory>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

namespace transport_test {

namespace {

sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

template <typename Check> int countDescriptors(Check check)
{
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    const int own = ::dirfd(dir);
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own && check(fd))
            ++count;
    }
    ::closedir(dir);
    return count;
}

} // namespace

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int freeLoopbackPort()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    int port = -1;
    if (::bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(probe);
    return port;
}

int connectLoopback(int port)
{
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopbackAddress(port);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(socket);
        return -1;
    }
    return socket;
}

int localPort(int socket)
{
    sockaddr_in address;
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    return ntohs(address.sin_port);
}

bool writeAll(int fd, const std::vector<uint8_t> &bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t done = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (done <= 0)
            return false;
        written += std::size_t(done);
    }
    return true;
}

std::vector<uint8_t> readExactly(int fd, std::size_t count)
{
    std::vector<uint8_t> bytes(count);
    std::size_t got = 0;
    const int64_t giveUp = nowMs() + kPatientMs;
    while (got < count && nowMs() < giveUp) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        const ssize_t done = ::read(fd, bytes.data() + got, count - got);
        if (done <= 0)
            break;
        got += std::size_t(done);
    }
    bytes.resize(got);
    return bytes;
}

void resetAndClose(int socket)
{
    linger immediate{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    ::close(socket);
}

int openSocketCount()
{
    return countDescriptors([](int fd) {
        char target[64] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        return length > 0 && std::strncmp(target, "socket:", 7) == 0;
    });
}

int descriptorsWithoutCloseOnExec()
{
    return countDescriptors([](int fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        return fd > STDERR_FILENO && flags >= 0 && !(flags & FD_CLOEXEC);
    });
}

int socketsWithoutSendDelay()
{
    return countDescriptors([](int fd) {
        int on = 0;
        socklen_t length = sizeof on;
        return ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0 && on != 0;
    });
}

PtyPair::PtyPair()
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    slavePath = name;
    // Only the library under test holds the slave open; that way closing it really
    // releases the terminal and a reopen starts clean.
    ::close(slave);
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

} // namespace transport_test
