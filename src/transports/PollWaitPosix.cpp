#include "transports/PollWait.h"

#include "transports/TimeOut.h"

#include <cerrno>
#include <poll.h>

namespace liblumo::com {

PollResult waitOnDescriptor(int fd, short events, int timeoutMs, int wakeFd)
{
    if (fd < 0)
        return PollResult::Gone;
    TimeOut deadline(timeoutMs);
    deadline.start();
    pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    int waitMs = timeoutMs;
    for (;;) {
        entries[0].revents = entries[1].revents = 0;
        const int ready = ::poll(entries, count, waitMs);
        if (ready > 0)
            break;
        if (ready == 0)
            return PollResult::TimedOut;
        if (errno != EINTR)
            return PollResult::Gone;
        if (timeoutMs >= 0)
            waitMs = deadline.remaining();
    }
    if (entries[1].revents != 0)
        return PollResult::Woken;
    return (entries[0].revents & events) ? PollResult::Ready : PollResult::Gone;
}

} // namespace liblumo::com
