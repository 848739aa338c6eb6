#include "PosixFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumosim {

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

StopSignal::StopSignal()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        readEnd_.reset(fds[0]);
        writeEnd_.reset(fds[1]);
    }
}

void StopSignal::trigger()
{
    const char byte = 1;
    // A full pipe already wakes every waiter, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(writeEnd_.get(), &byte, 1);
}

bool StopSignal::triggered() const
{
    pollfd p{readEnd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

namespace {

WaitResult waitFor(int fd, short events, const StopSignal *stop, int timeoutMs)
{
    pollfd fds[2] = {{fd, events, 0}, {stop ? stop->waitFd() : -1, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, stop ? 2 : 1, timeoutMs);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Error;
        }
        if (n == 0)
            return WaitResult::Timeout;
        if (stop && (fds[1].revents & POLLIN))
            return WaitResult::Stopped;
        short r = fds[0].revents;
        if (r & events)
            return WaitResult::Ready;
        if (r & POLLHUP)
            return WaitResult::Hangup;
        return WaitResult::Error;
    }
}

} // namespace

WaitResult waitReadable(int fd, const StopSignal *stop, int timeoutMs)
{
    return waitFor(fd, POLLIN, stop, timeoutMs);
}

WaitResult waitWritable(int fd, const StopSignal *stop, int timeoutMs)
{
    return waitFor(fd, POLLOUT, stop, timeoutMs);
}

bool sleepUnlessStopped(const StopSignal *stop, int ms)
{
    if (!stop) {
        ::poll(nullptr, 0, ms);
        return true;
    }
    pollfd p{stop->waitFd(), POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

long readNonBlocking(int fd, uint8_t *buf, std::size_t n)
{
    for (;;) {
        ssize_t got = ::read(fd, buf, n);
        if (got >= 0)
            return got;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        // A pseudo-terminal master reports EIO once the other side has closed.
        if (errno == EIO || errno == ECONNRESET)
            return 0;
        return -2;
    }
}

bool isSocket(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

long writeNonBlocking(int fd, const uint8_t *buf, std::size_t n, bool socket)
{
    for (;;) {
        ssize_t put = socket ? ::send(fd, buf, n, MSG_NOSIGNAL) : ::write(fd, buf, n);
        if (put >= 0)
            return put;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        if (errno == EPIPE || errno == ECONNRESET || errno == EIO)
            return -3;
        return -2;
    }
}

bool setNonBlocking(int fd)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string lastErrorText()
{
    return std::strerror(errno);
}

} // namespace lumosim
