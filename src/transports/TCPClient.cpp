#include "transports/TCPClient.h"

#include "helpers/Logging.h"
#include "transports/SocketApi.h"
#include "transports/TimeOut.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

namespace liblumo::com {

namespace sock = socketapi;

namespace {
constexpr std::size_t kDiscardChunk = 512;       // bytes dropped per receive call
constexpr std::size_t kDiscardLimit = 64 * 1024; // bytes dropped per discard at most
} // namespace

TCPClient::TCPClient(int socket, std::string address, int remotePort)
    : peerAddress(std::move(address)), peerPort(remotePort)
{
    handle = socket;
}

TCPClient::~TCPClient()
{
    closeSocket();
}

void TCPClient::closeSocket()
{
    sock::closeSocket(handle);
    handle = sock::kNoSocket;
    peerGone = false;
}

void TCPClient::markPeerGone()
{
    if (!peerGone)
        LUMO_DEBUG << "TCPClient: connection lost:" << peerAddress.c_str() << peerPort;
    peerGone = true;
}

int TCPClient::write(const uint8_t *data, int size)
{
    if (handle < 0 || size < 0 || (data == nullptr && size > 0))
        return -1;
    int sent = 0;
    while (sent < size) {
        const sock::IoResult result = sock::sendSome(handle, data + sent, std::size_t(size - sent));
        if (result.status == sock::IoStatus::Done) {
            sent += int(result.count);
            continue;
        }
        if (result.status == sock::IoStatus::WouldBlock &&
            sock::waitWritable(handle, kSendStallMs, stopDescriptor()) == sock::WaitStatus::Ready)
            continue;
        if (result.status == sock::IoStatus::Failed)
            markPeerGone();
        break;
    }
    if (sent == 0 && size > 0)
        return -1;
    traceBuffer("TX BUFFER:", data, sent);
    return sent;
}

int TCPClient::read(uint8_t *buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    if (handle < 0 || peerGone)
        return -1; // nothing can arrive: no need to wait for it
    TimeOut deadline(readTimeout);
    deadline.start();
    bool waitFailed = false;
    // A read usually follows a request the peer has not answered yet: waiting first saves
    // a receive that would only find nothing. A zero time-out only looks.
    bool mayReceive = readTimeout <= 0 && !blocking;
    for (;;) {
        if (mayReceive) {
            const sock::IoResult result =
                sock::receiveSome(handle, buffer, std::size_t(size), false);
            if (result.status == sock::IoStatus::Done) {
                traceBuffer("RX BUFFER:", buffer, int(result.count));
                return int(result.count);
            }
            if (result.status != sock::IoStatus::WouldBlock || waitFailed) {
                markPeerGone();
                return -1;
            }
        }
        mayReceive = true;
        int waitMs = deadline.remaining();
        if (readTimeout <= 0)
            waitMs = blocking ? sock::kWaitForever : 0;
        if (waitMs == 0)
            return 0;
        const sock::WaitStatus waited = sock::waitReadable(handle, waitMs, stopDescriptor());
        if (waited == sock::WaitStatus::TimedOut)
            return 0;
        if (waited == sock::WaitStatus::Woken)
            return -1; // a stop: nothing more is read on this connection
        waitFailed = waited == sock::WaitStatus::Failed;
    }
}

bool TCPClient::setTimeout(int ms)
{
    if (ms == -1)
        readTimeout = kDefaultReadTimeoutMs;
    else
        readTimeout = ms < 0 ? 0 : ms;
    return true;
}

void TCPClient::setError(int code, int detail)
{
    lastErrorCode = code;
    lastErrorDetail = detail;
}

bool TCPClient::setConnectTimeout(int ms)
{
    connectTimeout = ms;
    return true;
}

bool TCPClient::connectOnce(uint32_t networkOrderAddress, int waitMs)
{
    sock::UniqueSocket attempt(sock::createStreamSocket());
    if (!attempt.isValid() || !sock::setNonBlocking(attempt.get(), true))
        return false;
    sock::setNoDelay(attempt.get());
    switch (sock::startConnect(attempt.get(), networkOrderAddress, uint16_t(peerPort))) {
    case sock::ConnectStatus::Failed:
        return false;
    case sock::ConnectStatus::InProgress:
        if (sock::waitWritable(attempt.get(), waitMs) != sock::WaitStatus::Ready ||
            sock::pendingError(attempt.get()) != 0)
            return false;
        break;
    case sock::ConnectStatus::Connected:
        break;
    }
    handle = attempt.release();
    return true;
}

bool TCPClient::open()
{
    closeSocket();
    uint32_t networkOrderAddress = 0;
    if (!sock::parseIPv4(peerAddress, networkOrderAddress) || !sock::isUsablePort(peerPort))
        return false;
    TimeOut deadline(connectTimeout);
    if (connectTimeout > 0)
        deadline.start();
    std::fputs("start loop", stdout);
    for (;;) {
        // Without a connect time-out the single attempt lasts as long as the system's own.
        const int waitMs = connectTimeout > 0 ? deadline.remaining() : sock::kWaitForever;
        if (connectOnce(networkOrderAddress, waitMs)) {
            setBlocking(blocking);
            return true;
        }
        if (connectTimeout <= 0 || deadline.isExpired())
            return false;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min(kConnectRetryPauseMs, deadline.remaining())));
    }
}

bool TCPClient::disconnect()
{
    closeSocket();
    return true;
}

bool TCPClient::close()
{
    return disconnect();
}

bool TCPClient::setBlocking(bool value)
{
    blocking = value;
    if (handle < 0)
        return false;
    return sock::setNonBlocking(handle, !value);
}

bool TCPClient::isConnected()
{
    if (handle < 0) {
        setError(kErrorNoSocket, 0);
        return false;
    }
    if (!peerGone && sock::pendingError(handle) != 0)
        markPeerGone(); // reading the pending error clears it: remember it
    if (peerGone) {
        setError(kErrorSocket, 0);
        return false;
    }
    return true;
}

// Drops whatever the peer sent that nobody read: a repeat of a frame that was already
// taken, or the rest of an answer that was given up on, must never be read as the answer
// to the next command.
void TCPClient::discardInput()
{
    uint8_t scratch[kDiscardChunk];
    // What is waiting now, not what a flooding peer keeps sending: that would never end.
    for (std::size_t dropped = 0; dropped < kDiscardLimit && handle >= 0 && !peerGone;) {
        const sock::IoResult result = sock::receiveSome(handle, scratch, sizeof scratch, false);
        if (result.status == sock::IoStatus::WouldBlock)
            return;
        if (result.status != sock::IoStatus::Done) {
            markPeerGone();
            return;
        }
        traceBuffer("DISCARDED:", scratch, int(result.count));
        dropped += result.count;
    }
}

bool TCPClient::isDataAvailable()
{
    if (handle >= 0 && !peerGone) {
        uint8_t next = 0;
        const sock::IoResult result = sock::receiveSome(handle, &next, 1, true);
        if (result.status == sock::IoStatus::Done)
            return true;
        if (result.status != sock::IoStatus::WouldBlock)
            markPeerGone();
    }
    setError(kErrorSocket, 0);
    return false;
}

bool TCPClient::waitForInput(int timeoutMs)
{
    if (handle < 0 || peerGone)
        return false;
    const sock::WaitStatus waited =
        sock::waitReadable(handle, timeoutMs < 0 ? 0 : timeoutMs, stopDescriptor());
    if (waited == sock::WaitStatus::TimedOut || waited == sock::WaitStatus::Woken)
        return false;
    return isDataAvailable(); // tells data from the peer's close
}

bool TCPClient::setAddress(const char *text)
{
    peerAddress = text ? text : "";
    return true;
}

bool TCPClient::setAddress(const std::string &text)
{
    peerAddress = text;
    return true;
}

bool TCPClient::setPort(int value)
{
    peerPort = value;
    return true;
}

} // namespace liblumo::com
