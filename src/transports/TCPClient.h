// One TCP connection to a device.
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

    TCPClient() = default;
    // A client around an accepted socket (made by TCPServer).
    TCPClient(int socket, std::string peerAddress, int peerPort);
    ~TCPClient() override;

    int write(const uint8_t *data, int size) override;
    int read(uint8_t *buffer, int size) override;
    bool setTimeout(int ms) override;
    bool setConnectTimeout(int ms) override;
    bool open() override;
    bool reopen() override;
    bool disconnect() override;
    bool close() override;
    bool setBlocking(bool value) override;
    bool isConnected() override;
    void discardInput() override;
    bool isDataAvailable() override;
    bool waitForInput(int timeoutMs) override;

    bool setAddress(const char *text);
    bool setAddress(const std::string &text);
    std::string address() const { return peerAddress; }
    bool setPort(int value);
    int port() const { return peerPort; }

private:
    std::string peerAddress;
    int peerPort = 0;
    int readTimeout = 0;
    int connectTimeout = 0;
    bool peerClosed = false;
};

} // namespace liblumo::com

#endif
