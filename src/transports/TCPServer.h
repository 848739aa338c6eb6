// The listening socket of a TCP channel; hands out each accepted connection as a
// TCPClient.
#ifndef LIBLUMO_TRANSPORTS_TCPSERVER_H
#define LIBLUMO_TRANSPORTS_TCPSERVER_H

#include "transports/SocketApi.h"

#include <cstdint>
#include <optional>
#include <string>

namespace liblumo::com {

class TCPClient;

class TCPServer {
public:
    static constexpr int kBacklog = 8;
    static constexpr int kErrorBadPort = 4;
    // Code recorded (with the system error number as detail) when no socket could be made.
    static constexpr int kErrorNoSocket = 0;

    TCPServer() = default;
    TCPServer(const TCPServer &) = delete;
    TCPServer &operator=(const TCPServer &) = delete;
    virtual ~TCPServer();

    void setPort(int value) { listenPort = value; }
    int port() const { return listenPort; }
    void setAddress(uint32_t networkOrderAddress)
    {
        bindAddress = networkOrderAddress;
        listenAddress.reset();
    }
    // A literal IPv4 or IPv6 address (no brackets) instead of setAddress; false when the
    // text is no such address (the previous address stays).
    bool setListenAddress(const std::string &text);
    // Connections the system may hold waiting to be accepted (at least kBacklog).
    void setBacklog(int value) { backlog = value > kBacklog ? value : kBacklog; }
    // Listens on port 1..65535 at the bind address; a second call replaces the socket.
    bool startListening();
    bool close();
    // Accepts one waiting connection into the pending slot; true when one is pending.
    bool acceptConnection();
    // The pending connection (accepting one first if none is pending), or null. The
    // caller owns the client.
    TCPClient *takeConnection();
    // Waits up to timeoutMs (-1: no limit) until a connection can be accepted, or the
    // wake descriptor (if any) becomes readable; false at once when not listening. Lets an
    // idle channel sleep instead of spinning.
    bool waitForConnection(int timeoutMs, int wakeFd = socketapi::kNoSocket);
    bool isListening() const { return listenSocket.isValid(); }

    void setError(int code, int detail);
    int errorCode() const { return lastErrorCode; }
    int errorDetail() const { return lastErrorDetail; }

private:
    int listenPort = 0;
    int backlog = kBacklog;
    uint32_t bindAddress = 0;
    std::optional<socketapi::ListenAddress> listenAddress; // set: used instead of bindAddress
    socketapi::UniqueSocket listenSocket;
    int lastErrorCode = 0;
    int lastErrorDetail = 0;
    std::string peerAddress;
    int peerPort = -1;
    socketapi::UniqueSocket pendingSocket;
};

} // namespace liblumo::com

#endif
