// One TCP connection to a device.
//
// Reads wait in the platform's poll for the time that is left, so an idle read sleeps.
// A peer that closed its end, or a connection that broke, leaves the client
// disconnected: isConnected turns false once a receive has seen it, and reads fail (-1).
#ifndef LIBLUMO_TRANSPORTS_TCPCLIENT_H
#define LIBLUMO_TRANSPORTS_TCPCLIENT_H

#include "transports/ComAbstract.h"

#include <string>

namespace liblumo::com {

class TCPClient : public ComAbstract {
public:
    static constexpr int kDefaultReadTimeoutMs = 1000;
    static constexpr int kErrorNoSocket = 112;
    static constexpr int kErrorSocket = 113;
    // A send that cannot hand over a single byte for this long has failed.
    static constexpr int kSendStallMs = 10000;
    // Pause between two connection attempts while the connect time-out runs.
    static constexpr int kConnectRetryPauseMs = 20;

    TCPClient() = default;
    // A client around an accepted socket (made by TCPServer); it owns the socket.
    TCPClient(int socket, std::string peerAddress, int peerPort);
    ~TCPClient() override;

    // Sends all size bytes; returns how many the link took (size on success, fewer when
    // it broke midway), -1 when there is no connection or nothing could be sent.
    int write(const uint8_t *data, int size) override;
    int read(uint8_t *buffer, int size) override;
    bool setTimeout(int ms) override;
    // Connects to the address and port set below; keeps trying until the connect
    // time-out passes (none set: one attempt as long as the system's own).
    bool open() override;
    // Closes the socket: the device sees the connection end.
    bool disconnect() override;
    bool close() override;
    bool isConnected() override;
    void discardInput() override;
    bool isDataAvailable() override;
    bool waitForInput(int timeoutMs) override;

    bool setConnectTimeout(int ms);
    // Blocking mode: a read with no time-out (0) then waits without limit.
    bool setBlocking(bool value);
    bool isBlocking() const { return blocking; }
    // The last recorded error: kErrorNoSocket or kErrorSocket from isConnected, or
    // kErrorSocket from isDataAvailable finding no byte; the detail is 0.
    int errorCode() const { return lastErrorCode; }
    int errorDetail() const { return lastErrorDetail; }

    bool setAddress(const char *text);
    bool setAddress(const std::string &text);
    std::string address() const { return peerAddress; }
    bool setPort(int value);
    int port() const { return peerPort; }

private:
    // Marks the connection as gone after a receive saw the peer's close or a failure.
    void markPeerGone();
    // Waits up to ms for input; false when the time passed or the link failed.
    bool waitReadableFor(int ms);
    // One connection attempt on a fresh socket, waiting up to waitMs for it to complete.
    bool connectOnce(uint32_t networkOrderAddress, int waitMs);
    void closeSocket();
    void setError(int code, int detail);

    int handle = -1; // the socket; -1 when none
    bool blocking = false;
    int lastErrorCode = 0;
    int lastErrorDetail = 0;
    std::string peerAddress;
    int peerPort = 0;
    int readTimeout = 0;
    int connectTimeout = 0;
    bool peerGone = false;
};

} // namespace liblumo::com

#endif
