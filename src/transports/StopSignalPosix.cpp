// StopSignal on an eventfd: written once, it stays readable, so every poll that includes
// it returns at once from then on.
#include "transports/StopSignal.h"

#include "helpers/Logging.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace liblumo::com {

StopSignal::StopSignal() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (fd < 0)
        LUMO_CRITICAL << "StopSignal: no event descriptor, errno" << errno;
}

StopSignal::~StopSignal()
{
    if (fd >= 0)
        ::close(fd);
}

void StopSignal::raise()
{
    raised.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (fd >= 0) {
        ssize_t written;
        do {
            written = ::write(fd, &one, sizeof one);
        } while (written < 0 && errno == EINTR);
    }
}

void StopSignal::lower()
{
    raised.store(false, std::memory_order_release);
    uint64_t count = 0;
    if (fd >= 0) {
        ssize_t got;
        do {
            got = ::read(fd, &count, sizeof count);
        } while (got < 0 && errno == EINTR);
    }
}

bool StopSignal::wait(int timeoutMs) const
{
    if (isRaised() || fd < 0)
        return isRaised();
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return isRaised();
}

} // namespace liblumo::com
