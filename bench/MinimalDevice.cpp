#include "MinimalDevice.h"

#include "ProcessStats.h"
#include "Transfer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace bench {

namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kCmdHandshake = 0x01;
constexpr uint8_t kCmdSleep = 0x91;
constexpr uint8_t kCmdCount = 0xB0;
constexpr uint8_t kCmdRetrieve = 0xB1;
constexpr uint8_t kCmdHeader = 0x81;
constexpr uint8_t kCmdBlock = 0x82;
constexpr std::size_t kHeaderBytes = 6; // STX, packet (2), length (2), command
constexpr uint16_t kLengthBias = 2;
constexpr uint16_t kPacket = 1;
constexpr uint32_t kDin = 987654321;
constexpr uint32_t kPackedClock = (24u << 26) | (5u << 22) | (17u << 17) | (13u << 12);
constexpr int kConnectAttempts = 200;
constexpr int kRetryPauseMs = 10;

void putU16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(uint8_t(value & 0xFF));
    out.push_back(uint8_t(value >> 8));
}

void putU32(std::vector<uint8_t> &out, uint32_t value)
{
    putU16(out, uint16_t(value & 0xFFFF));
    putU16(out, uint16_t(value >> 16));
}

bool ptySlaveOpen(int master)
{
    pollfd entry{master, POLLIN, 0};
    return ::poll(&entry, 1, 0) >= 0 && !(entry.revents & POLLHUP);
}

} // namespace

MinimalDevice::MinimalDevice(int count) : measurements(count)
{
    prepareFrames();
}

MinimalDevice::~MinimalDevice()
{
    if (thread.joinable()) {
        // Wakes a read that still waits for a host that went away (sockets only; a
        // pseudo-terminal's read ends when the host closes the slave).
        ::shutdown(link.get(), SHUT_RDWR);
        thread.join();
    }
}

MinimalDevice::Frame MinimalDevice::makeFrame(uint8_t command,
                                              const std::vector<uint8_t> &data) const
{
    const std::size_t length = data.size() + kLengthBias;
    Frame frame(kHeaderBytes + data.size() + 1);
    frame[0] = kStx;
    frame[1] = uint8_t(kPacket >> 8);
    frame[2] = uint8_t(kPacket & 0xFF);
    frame[3] = uint8_t(length >> 8);
    frame[4] = uint8_t(length & 0xFF);
    frame[5] = command;
    std::copy(data.begin(), data.end(), frame.begin() + kHeaderBytes);
    uint8_t lrc = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
        lrc ^= frame[i];
    frame.back() = lrc;
    return frame;
}

void MinimalDevice::prepareFrames()
{
    std::vector<uint8_t> data;
    putU32(data, kDin);
    putU32(data, kPackedClock);
    putU16(data, 0x0100);
    putU16(data, 0x1234);
    handshake = makeFrame(kCmdHandshake, data);
    data.clear();
    putU16(data, uint16_t(measurements));
    countAnswer = makeFrame(kCmdCount, data);
    data.clear();
    putU16(data, uint16_t(kBlocksPerMeasurement));
    putU32(data, kPackedClock);
    data.push_back(1); // type set
    putU16(data, uint16_t(kSamplesPerMeasurement));
    putU16(data, uint16_t(kSamplesPerBlock));
    header = makeFrame(kCmdHeader, data);
    for (uint32_t block = 1; block <= kBlocksPerMeasurement; ++block) {
        data.assign(1, uint8_t(block));
        for (uint32_t i = 0; i < kSamplesPerBlock; ++i)
            putU16(data, uint16_t((block - 1) * kSamplesPerBlock + i));
        blocks.push_back(makeFrame(kCmdBlock, data));
    }
}

bool MinimalDevice::startTcp(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        Fd socket(::socket(AF_INET, SOCK_STREAM, 0));
        if (!socket.valid())
            return false;
        if (::connect(socket.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const int on = 1;
            ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            link = std::move(socket);
            thread = std::thread([this] {
                nameThisThread("bench-device");
                slept = serve();
                cpu = callingThreadCpuSeconds();
            });
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
    }
    return false;
}

bool MinimalDevice::startPty(Fd master)
{
    link = std::move(master);
    thread = std::thread([this] {
        nameThisThread("bench-device");
        for (int attempt = 0; attempt < kConnectAttempts && !ptySlaveOpen(link.get()); ++attempt)
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryPauseMs));
        slept = serve();
        cpu = callingThreadCpuSeconds();
    });
    return link.valid();
}

bool MinimalDevice::finish()
{
    if (thread.joinable())
        thread.join();
    return slept;
}

bool MinimalDevice::sendFrame(const Frame &frame)
{
    uint8_t answer = 0;
    return writeAll(link.get(), frame.data(), frame.size()) && readExact(link.get(), &answer, 1) &&
           answer == kAck;
}

bool MinimalDevice::readHostFrame(uint8_t &command)
{
    hostFrame.resize(kHeaderBytes);
    if (!readExact(link.get(), hostFrame.data(), kHeaderBytes) || hostFrame[0] != kStx)
        return false;
    const std::size_t rest = ((std::size_t(hostFrame[3]) << 8) | hostFrame[4]) - kLengthBias + 1;
    hostFrame.resize(kHeaderBytes + rest);
    command = hostFrame[5];
    return readExact(link.get(), hostFrame.data() + kHeaderBytes, rest);
}

bool MinimalDevice::answer(uint8_t command, bool &asleep)
{
    if (!writeAll(link.get(), &kAck, 1))
        return false;
    switch (command) {
    case kCmdCount:
        return sendFrame(countAnswer);
    case kCmdRetrieve:
        if (handedOver >= measurements || !sendFrame(header))
            return false;
        for (const Frame &block : blocks) {
            if (!sendFrame(block))
                return false;
        }
        ++handedOver;
        return true;
    case kCmdSleep:
        asleep = true;
        return true;
    default:
        return true;
    }
}

bool MinimalDevice::serve()
{
    uint8_t command = 0;
    uint8_t ack = 0;
    // Handshake: the host acknowledges, echoes the frame, and gets the echo acknowledged.
    if (!writeAll(link.get(), handshake.data(), handshake.size()) ||
        !readExact(link.get(), &ack, 1) || ack != kAck || !readHostFrame(command) ||
        command != kCmdHandshake || !writeAll(link.get(), &kAck, 1))
        return false;
    bool asleep = false;
    while (!asleep) {
        if (!readHostFrame(command) || !answer(command, asleep))
            return false;
    }
    return true;
}

} // namespace bench
