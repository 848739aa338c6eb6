#include "PosixPty.h"

#include "PosixSerial.h"

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumosim {

bool createPty(PtyPair &pair, std::string &error)
{
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        error = "cannot create a pseudo-terminal: " + lastErrorText();
        return false;
    }
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) {
        error = "cannot name the pseudo-terminal: " + lastErrorText();
        return false;
    }
    // Configure the slave before the host sees it: a cooked line would echo our bytes
    // back and translate line ends. Closing it again lets us notice when the host opens it.
    UniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.valid() || !makeRaw(slave.get())) {
        error = std::string("cannot configure ") + name + ": " + lastErrorText();
        return false;
    }
    slave.reset();
    setNonBlocking(master.get());
    pair.master = std::move(master);
    pair.slavePath = name;
    return true;
}

void waitPtyRead(int masterFd, const std::string &slavePath, int timeoutMs)
{
    if (!ptyPeerOpen(masterFd))
        return;
    // The slave's input queue is shared by everyone who has it open, so a descriptor of
    // our own can count what the host has not read yet.
    UniqueFd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.valid())
        return;
    // Bytes written to the master reach the slave's queue a moment later, so the queue
    // must stay empty for a while before we believe the host has everything.
    constexpr int kPollMs = 2;
    constexpr int kSettleMs = 20;
    int emptyFor = 0;
    for (int waited = 0; waited < timeoutMs && emptyFor < kSettleMs; waited += kPollMs) {
        int pending = 0;
        if (::ioctl(slave.get(), FIONREAD, &pending) != 0)
            return;
        emptyFor = pending == 0 ? emptyFor + kPollMs : 0;
        ::poll(nullptr, 0, kPollMs);
    }
}

bool ptyPeerOpen(int masterFd)
{
    pollfd p{masterFd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return !(p.revents & POLLHUP);
}

bool repointSymlink(const std::string &link, const std::string &target, std::string &error)
{
    std::string tmp = link + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        error = "cannot point " + link + " at " + target + ": " + lastErrorText();
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeSymlink(const std::string &link)
{
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(link.c_str());
}

} // namespace lumosim
