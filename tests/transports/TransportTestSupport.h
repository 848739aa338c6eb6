// Helpers shared by the transport tests: a captured Qt message log, a peer socket on the
// loopback interface, a pseudo-terminal pair, and descriptor counts.
#ifndef LIBLUMO_TESTS_TRANSPORTS_TRANSPORTTESTSUPPORT_H
#define LIBLUMO_TESTS_TRANSPORTS_TRANSPORTTESTSUPPORT_H

#include "LogCapture.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <cstdint>
#include <string>
#include <vector>

namespace transport_test {

// Generous bound for waits that normally end within milliseconds.
constexpr int kPatientMs = 5000;

// Captures every Qt message while it lives, with debug output switched on.
using liblumo::test::LogCapture;

// Milliseconds on a monotonic clock.
int64_t nowMs();

// A free TCP port on 127.0.0.1 (the system picks one; it is released before use).
int freeLoopbackPort();
// A plain blocking socket connected to 127.0.0.1:port; -1 on failure.
int connectLoopback(int port);
// The local port of a connected socket.
int localPort(int socket);
// Writes all bytes to a plain socket or terminal; false on failure.
bool writeAll(int fd, const std::vector<uint8_t> &bytes);
// Reads exactly count bytes within kPatientMs; what arrived when it gives up.
std::vector<uint8_t> readExactly(int fd, std::size_t count);
// Closes a socket so that the other side sees a reset rather than an orderly close.
void resetAndClose(int socket);

// Sockets and descriptors of this process.
int openSocketCount();
int descriptorsWithoutCloseOnExec();
int socketsWithoutSendDelay();

// A pseudo-terminal: the test keeps the controlling side, the slave is opened by path.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return master >= 0 && !slavePath.empty(); }
    const std::string &path() const { return slavePath; }
    bool write(const std::vector<uint8_t> &bytes) { return writeAll(master, bytes); }
    std::vector<uint8_t> readExactly(std::size_t count)
    {
        return transport_test::readExactly(master, count);
    }
    // Closes the controlling side: the serial port's device has gone.
    void closeMaster();

private:
    int master = -1;
    std::string slavePath;
};

} // namespace transport_test

#endif
