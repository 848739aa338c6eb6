#include "LinkProvider.h"

#include "PosixClock.h"
#include "PosixTcp.h"

namespace lumosim {

TcpLinkProvider::TcpLinkProvider(std::string host, int port, int connectTimeoutMs)
    : host_(std::move(host)), port_(port), connectTimeoutMs_(connectTimeoutMs)
{
}

Link *TcpLinkProvider::acquire(const StopSignal *stop, std::string &error)
{
    UniqueFd fd = connectTcp(host_, port_, connectTimeoutMs_, stop, error);
    if (!fd.valid())
        return nullptr;
    link_ = std::make_unique<Link>(std::move(fd), host_ + ":" + std::to_string(port_));
    return link_.get();
}

void TcpLinkProvider::endSession(SessionEnd)
{
    link_.reset();
}

Link *SerialLinkProvider::acquire(const StopSignal *, std::string &error)
{
    if (!link_) {
        UniqueFd fd = openSerial(path_, error);
        if (!fd.valid())
            return nullptr;
        link_ = std::make_unique<Link>(std::move(fd), path_);
    }
    return link_.get();
}

SerialLinkProvider::~SerialLinkProvider()
{
    if (link_ && link_->isOpen())
        drainSerial(link_->fd());
}

void SerialLinkProvider::endSession(SessionEnd end)
{
    if (end != SessionEnd::Normal)
        link_.reset();
}

PtyLinkProvider::PtyLinkProvider(std::string symlinkPath, uint64_t replugAfter, int openTimeoutMs,
                                 Announce announce)
    : symlinkPath_(std::move(symlinkPath)), replugAfter_(replugAfter),
      openTimeoutMs_(openTimeoutMs), announce_(std::move(announce))
{
}

PtyLinkProvider::~PtyLinkProvider()
{
    unplug();
    if (!symlinkPath_.empty())
        removeSymlink(symlinkPath_);
}

bool PtyLinkProvider::prepare(std::string &error)
{
    if (link_)
        return true;
    PtyPair pair;
    if (!createPty(pair, error))
        return false;
    if (!symlinkPath_.empty() && !repointSymlink(symlinkPath_, pair.slavePath, error))
        return false;
    slavePath_ = pair.slavePath;
    link_ = std::make_unique<Link>(std::move(pair.master), slavePath_);
    sessionsOnPair_ = 0;
    if (announce_)
        announce_(slavePath_);
    return true;
}

Link *PtyLinkProvider::acquire(const StopSignal *stop, std::string &error)
{
    if (!prepare(error))
        return nullptr;
    // Until the host opens the slave our bytes would only pile up in the line.
    constexpr int kOpenPollMs = 10;
    const int64_t deadline = monotonicNs() + int64_t(openTimeoutMs_) * kNsPerMs;
    while (!ptyPeerOpen(link_->fd())) {
        if (monotonicNs() >= deadline) {
            error =
                "nobody opened " + slavePath_ + " within " + std::to_string(openTimeoutMs_) + " ms";
            return nullptr;
        }
        if (!sleepUnlessStopped(stop, kOpenPollMs)) {
            error = "stopped";
            return nullptr;
        }
    }
    return link_.get();
}

void PtyLinkProvider::endSession(SessionEnd end)
{
    ++sessionsOnPair_;
    // A host that closed the slave may open it again; the same pair waits for it.
    const bool unplug = end == SessionEnd::Dropped || end == SessionEnd::Failed;
    if (unplug || (replugAfter_ && sessionsOnPair_ >= replugAfter_))
        this->unplug();
}

void PtyLinkProvider::unplug()
{
    // Closing the master hangs the slave up and discards what the host has not read yet
    // (the ACK of the sleep command, say): give the host a moment to take it.
    constexpr int kLingerMs = 1000;
    if (link_ && link_->isOpen())
        waitPtyRead(link_->fd(), slavePath_, kLingerMs);
    link_.reset();
}

Link *FixedLinkProvider::acquire(const StopSignal *, std::string &error)
{
    if (!link_.isOpen()) {
        error = "the link is closed";
        return nullptr;
    }
    return &link_;
}

void FixedLinkProvider::endSession(SessionEnd end)
{
    if (end != SessionEnd::Normal)
        link_.close();
}

} // namespace lumosim
