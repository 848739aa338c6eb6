// Where each session's link comes from: a fresh TCP connection per session, a serial
// line that stays open across sessions, a pseudo-terminal pair made by the simulator
// (replaced on request, as if the device were unplugged and plugged back), or one link
// handed in by the caller.
#ifndef LUMO_SIM_LINKPROVIDER_H
#define LUMO_SIM_LINKPROVIDER_H

#include "Link.h"
#include "PosixPty.h"
#include "PosixSerial.h"

#include <functional>
#include <memory>
#include <string>

namespace lumosim {

// How a session ended, as far as the link is concerned.
enum class SessionEnd {
    Normal,       // the devices are done; the link is fine
    ClosedByHost, // the host closed its side
    Dropped,      // the simulator closed the link on purpose (a fault)
    Failed,       // the link failed
};

class LinkProvider {
public:
    virtual ~LinkProvider() = default;
    // The link for the next session, or null with a reason in error.
    virtual Link *acquire(const StopSignal *stop, std::string &error) = 0;
    // The session on the acquired link is over.
    virtual void endSession(SessionEnd end) = 0;
};

// A new connection to host:port for every session, closed when the session ends.
class TcpLinkProvider : public LinkProvider {
public:
    TcpLinkProvider(std::string host, int port, int connectTimeoutMs);
    Link *acquire(const StopSignal *stop, std::string &error) override;
    void endSession(SessionEnd end) override;

private:
    std::string host_;
    int port_;
    int connectTimeoutMs_;
    std::unique_ptr<Link> link_;
};

// A serial line opened once and kept across sessions; reopened after a broken session.
class SerialLinkProvider : public LinkProvider {
public:
    explicit SerialLinkProvider(std::string path) : path_(std::move(path)) {}
    ~SerialLinkProvider() override;
    Link *acquire(const StopSignal *stop, std::string &error) override;
    void endSession(SessionEnd end) override;

private:
    std::string path_;
    std::unique_ptr<Link> link_;
};

// A pseudo-terminal pair; the host opens the slave path. A new pair replaces the old one
// after every `replugAfter` sessions (0: never) and after a dropped or failed session, and the
// optional symbolic link follows it. Each session waits for the host to open the slave.
class PtyLinkProvider : public LinkProvider {
public:
    using Announce = std::function<void(const std::string &slavePath)>;
    PtyLinkProvider(std::string symlinkPath, uint64_t replugAfter, int openTimeoutMs,
                    Announce announce);
    ~PtyLinkProvider() override;
    Link *acquire(const StopSignal *stop, std::string &error) override;
    void endSession(SessionEnd end) override;
    std::string slavePath() const { return slavePath_; }
    // Makes the pair now (acquire does it on demand).
    bool prepare(std::string &error);

private:
    void unplug();

    std::string symlinkPath_;
    uint64_t replugAfter_;
    int openTimeoutMs_;
    Announce announce_;
    std::unique_ptr<Link> link_;
    std::string slavePath_;
    uint64_t sessionsOnPair_ = 0;
};

// The caller's own link, used for every session until it breaks.
class FixedLinkProvider : public LinkProvider {
public:
    explicit FixedLinkProvider(Link &link) : link_(link) {}
    Link *acquire(const StopSignal *stop, std::string &error) override;
    void endSession(SessionEnd end) override;

private:
    Link &link_;
};

} // namespace lumosim

#endif
