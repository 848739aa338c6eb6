// The few socket calls the TCP transports need, behind one small interface so that the
// transports never touch the platform's socket functions themselves.
//
// Every socket is stream-oriented (IPv4; a listening one may be IPv6), created close-on-exec. Sends
// never raise a signal when the peer has gone. Receives never block: a wait for input is a separate
// call (waitReadable), so a read costs one receive when data is already there.
#ifndef LIBLUMO_TRANSPORTS_SOCKETAPI_H
#define LIBLUMO_TRANSPORTS_SOCKETAPI_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace liblumo::com::socketapi {

constexpr int kNoSocket = -1;
// TCP ports a socket can use; 0 means "any" and is not a port to listen on or reach.
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;
inline bool isUsablePort(int port)
{
    return port >= kLowestPort && port <= kHighestPort;
}
// A wait time that never ends.
constexpr int kWaitForever = -1;

// What a receive or a send found.
enum class IoStatus {
    Done,       // bytes moved (count > 0)
    WouldBlock, // nothing to receive yet, or no room to send yet
    Closed,     // the peer closed its end in an orderly way (receive only)
    Failed      // the connection broke, or the socket is unusable
};

struct IoResult {
    IoStatus status;
    std::size_t count; // bytes moved when status is Done, else 0
};

// What a wait on a socket found.
enum class WaitStatus {
    Ready, // readable (or writable when waiting to send)
    TimedOut,
    Failed, // hang-up, error or invalid socket with nothing to read
    Woken   // the wake descriptor became readable first (a stop)
};

// Owns one socket and closes it when it goes.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(int socket) : fd(socket) {}
    UniqueSocket(UniqueSocket &&other) noexcept : fd(other.release()) {}
    UniqueSocket &operator=(UniqueSocket &&other) noexcept;
    UniqueSocket(const UniqueSocket &) = delete;
    UniqueSocket &operator=(const UniqueSocket &) = delete;
    ~UniqueSocket() { reset(); }

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    // Gives up ownership without closing.
    int release();
    // Closes the socket held (if any) and takes the new one.
    void reset(int socket = kNoSocket);

private:
    int fd = kNoSocket;
};

// A new IPv4 stream socket, close-on-exec; kNoSocket on failure (lastError() tells why).
int createStreamSocket();
void closeSocket(int socket);
// The system error number of the last failed call on this thread.
int lastError();

bool setNonBlocking(int socket, bool nonBlocking);
bool setReuseAddress(int socket);
// Sends each small frame at once instead of holding it back for the acknowledgement of
// the previous one (the conversation is stop-and-wait).
bool setNoDelay(int socket);
// Probes an idle peer and gives the connection up once it stays unanswered: a link that
// vanished without a close (a modem dropped off the network) is closed within about two
// minutes, whatever the conversation is doing (kKeepAlive* below).
bool setKeepAlive(int socket);
constexpr int kKeepAliveIdleSeconds = 60;     // quiet time before the first probe
constexpr int kKeepAliveIntervalSeconds = 10; // between probes
constexpr int kKeepAliveProbes = 6;           // unanswered probes that end the connection
constexpr int kUserTimeoutMs = 120000;        // sent data unacknowledged this long: closed
// address in network byte order; port in host byte order.
bool bindIPv4(int socket, uint32_t networkOrderAddress, uint16_t port);
bool listenOn(int socket, int backlog);

struct AcceptedPeer {
    int socket = kNoSocket;
    std::string address; // dotted-decimal, or the IPv6 colon form
    int port = -1;       // host byte order
};
// Accepts one waiting connection. The new socket is close-on-exec, sends without delay
// and, when nonBlocking is true, is non-blocking. socket is kNoSocket when nothing could be
// accepted.
AcceptedPeer acceptIPv4(int listenSocket, bool nonBlocking);

// Parses a dotted-decimal IPv4 address into network byte order.
bool parseIPv4(const std::string &text, uint32_t &networkOrderAddress);

// A literal address to listen on: IPv4 (dotted decimal) or IPv6 (colon form, no
// brackets). Held as bytes so that this header needs no socket headers.
struct ListenAddress {
    bool ipv6 = false;
    uint8_t bytes[16] = {}; // the first 4 for IPv4, in network order
};
bool parseListenAddress(const std::string &text, ListenAddress &address);
// A new stream socket of the address's family, close-on-exec; kNoSocket on failure. An
// IPv6 socket listens on IPv6 only, so "::" and "0.0.0.0" can be bound side by side.
int createStreamSocketFor(const ListenAddress &address);
bool bindListenAddress(int socket, const ListenAddress &address, uint16_t port);

enum class ConnectStatus { Connected, InProgress, Failed };
// Starts a connection; on a non-blocking socket it usually is InProgress.
ConnectStatus startConnect(int socket, uint32_t networkOrderAddress, uint16_t port);
// The socket's pending error (0 when none), or -1 when it cannot be read.
int pendingError(int socket);

// One send call without blocking and without a signal when the peer has gone.
IoResult sendSome(int socket, const uint8_t *data, std::size_t size);
// One receive call without blocking; peek leaves the bytes queued.
IoResult receiveSome(int socket, uint8_t *buffer, std::size_t size, bool peek);

// Waits up to timeoutMs (kWaitForever: no limit) until the socket is readable.
// A wake descriptor (wakeFd, kNoSocket for none) that becomes readable ends the wait
// at once with Woken.
WaitStatus waitReadable(int socket, int timeoutMs, int wakeFd = kNoSocket);
// Waits up to timeoutMs (kWaitForever: no limit) until the socket can take more bytes.
WaitStatus waitWritable(int socket, int timeoutMs, int wakeFd = kNoSocket);

} // namespace liblumo::com::socketapi

#endif
