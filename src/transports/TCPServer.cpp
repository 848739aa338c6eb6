#include "transports/TCPServer.h"

#include "transports/TCPClient.h"

#include <utility>

namespace liblumo::com {

namespace sock = socketapi;

TCPServer::~TCPServer() = default; // both sockets close themselves

bool TCPServer::startListening()
{
    // Only 16 bits reach the wire: a larger number would silently listen elsewhere.
    if (!sock::isUsablePort(listenPort)) {
        setError(kErrorBadPort, 0);
        return false;
    }
    listenSocket.reset();
    sock::UniqueSocket candidate(listenAddress ? sock::createStreamSocketFor(*listenAddress)
                                               : sock::createStreamSocket());
    if (!candidate.isValid()) {
        setError(kErrorNoSocket, sock::lastError());
        return false;
    }
    sock::setNonBlocking(candidate.get(), true);
    sock::setReuseAddress(candidate.get()); // a restarted channel must not wait for TIME_WAIT
    const bool bound =
        listenAddress
            ? sock::bindListenAddress(candidate.get(), *listenAddress, uint16_t(listenPort))
            : sock::bindIPv4(candidate.get(), bindAddress, uint16_t(listenPort));
    if (!bound || !sock::listenOn(candidate.get(), backlog)) {
        setError(kErrorNoSocket, sock::lastError());
        return false;
    }
    listenSocket = std::move(candidate);
    return true;
}

bool TCPServer::setListenAddress(const std::string &text)
{
    sock::ListenAddress parsed;
    if (!sock::parseListenAddress(text, parsed))
        return false;
    listenAddress = parsed;
    return true;
}

bool TCPServer::close()
{
    listenSocket.reset();
    return true;
}

bool TCPServer::acceptConnection()
{
    if (pendingSocket.isValid())
        return true; // one is already waiting to be taken; never drop it
    if (!listenSocket.isValid())
        return false;
    sock::AcceptedPeer peer = sock::acceptIPv4(listenSocket.get(), true);
    if (peer.socket < 0)
        return false;
    pendingSocket.reset(peer.socket);
    peerAddress = std::move(peer.address);
    peerPort = peer.port;
    return true;
}

TCPClient *TCPServer::takeConnection()
{
    if (!acceptConnection())
        return nullptr;
    auto *client = new TCPClient(pendingSocket.get(), peerAddress, peerPort);
    pendingSocket.release(); // the client owns it now
    return client;
}

bool TCPServer::waitForConnection(int timeoutMs, int wakeFd)
{
    if (pendingSocket.isValid())
        return true;
    if (!listenSocket.isValid())
        return false;
    const int waitMs = timeoutMs < 0 ? sock::kWaitForever : timeoutMs;
    return sock::waitReadable(listenSocket.get(), waitMs, wakeFd) == sock::WaitStatus::Ready;
}

void TCPServer::setError(int code, int detail)
{
    lastErrorCode = code;
    lastErrorDetail = detail;
}

} // namespace liblumo::com
