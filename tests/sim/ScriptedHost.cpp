#include "ScriptedHost.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace simtest {

Bytes hostFrame(uint16_t packet, uint8_t command, const Bytes &data)
{
    const std::size_t length = data.size() + 2;
    Bytes f;
    f.reserve(data.size() + 7);
    for (uint8_t b : {STX, uint8_t(packet >> 8), uint8_t(packet), uint8_t(length >> 8),
                      uint8_t(length), command})
        f.push_back(b);
    for (uint8_t b : data)
        f.push_back(b);
    uint8_t x = 0;
    for (uint8_t b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

Bytes ScriptedHost::read(std::size_t n, int timeoutMs)
{
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
            break;
        uint8_t buf[4096];
        ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes ScriptedHost::readOnce(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return {};
    uint8_t buf[4096];
    ssize_t got = ::read(fd_, buf, sizeof buf);
    return got > 0 ? Bytes(buf, buf + got) : Bytes{};
}

bool ScriptedHost::readFrame(RawFrame &frame, int timeoutMs)
{
    Bytes b;
    for (;;) {
        b = read(1, timeoutMs);
        if (b.empty())
            return false;
        if (b[0] == STX)
            break;
        ++skipped_;
    }
    Bytes head = read(5, timeoutMs);
    if (head.size() != 5)
        return false;
    b.insert(b.end(), head.begin(), head.end());
    const std::size_t len = std::size_t(b[3]) << 8 | b[4];
    if (len < 2)
        return false;
    Bytes rest = read(len - 2 + 1, timeoutMs);
    if (rest.size() != len - 2 + 1)
        return false;
    b.insert(b.end(), rest.begin(), rest.end());
    uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < b.size(); ++i)
        x ^= b[i];
    if (x != b.back())
        return false;
    frame.packet = uint16_t(b[1] << 8 | b[2]);
    frame.command = b[5];
    frame.data.assign(b.begin() + 6, b.end() - 1);
    frame.wire = b;
    lastPacket_ = frame.packet;
    return true;
}

uint8_t ScriptedHost::readControl(int timeoutMs)
{
    Bytes b = read(1, timeoutMs);
    return b.empty() ? 0 : b[0];
}

void ScriptedHost::write(const Bytes &bytes)
{
    if (byteWise) {
        writeBytewise(bytes);
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

void ScriptedHost::writeBytewise(const Bytes &bytes)
{
    for (uint8_t b : bytes)
        if (::write(fd_, &b, 1) != 1)
            return;
}

uint8_t ScriptedHost::command(uint8_t cmd, const Bytes &data)
{
    write(hostFrame(lastPacket_, cmd, data));
    return readControl();
}

bool ScriptedHost::ask(uint8_t cmd, RawFrame &answer, const Bytes &data)
{
    if (command(cmd, data) != ACK || !readFrame(answer))
        return false;
    ack();
    return true;
}

bool ScriptedHost::acceptHandshake(RawFrame &handshake)
{
    if (!readFrame(handshake) || handshake.command != 0x01)
        return false;
    ack();
    write(hostFrame(handshake.packet, 0x01, handshake.data));
    return readControl() == ACK;
}

bool ScriptedHost::quietFor(int ms)
{
    return read(1, ms).empty();
}

bool ScriptedHost::endsWithin(int ms)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return false;
    uint8_t b;
    // A socket reports the end with 0, a pty slave whose master went away with EIO.
    return ::read(fd_, &b, 1) <= 0;
}

SimOnThread::SimOnThread(lumosim::SimConfig config, int socketType) : sim(std::move(config))
{
    int fds[2];
    if (::socketpair(AF_UNIX, socketType | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    hostFd_ = fds[0];
    host = ScriptedHost(hostFd_);
    link_ = std::make_unique<lumosim::Link>(lumosim::UniqueFd(fds[1]), "socketpair");
    thread_ = std::thread([this] {
        report_ = sim.run(*link_);
        done_ = true;
    });
}

SimOnThread::~SimOnThread()
{
    sim.stop();
    if (thread_.joinable())
        thread_.join();
    if (hostFd_ >= 0)
        ::close(hostFd_);
}

void SimOnThread::closeHost()
{
    if (hostFd_ >= 0)
        ::close(hostFd_);
    hostFd_ = -1;
}

lumosim::SimReport SimOnThread::finish()
{
    // run() ends by itself in every test that calls this; stop() only bounds a broken one.
    for (int waited = 0; !done_ && waited < kWaitMs; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (thread_.joinable()) {
        if (!done_)
            sim.stop();
        thread_.join();
    }
    return report_;
}

lumosim::SimConfig oneDevice(uint32_t measurements, uint32_t blocks, uint32_t samplesPerBlock)
{
    lumosim::SimConfig config;
    lumosim::SimDevice d = lumosim::defaultDevice(1234);
    d.measurements = measurements;
    d.blocks = blocks;
    d.samplesPerBlock = samplesPerBlock;
    config.devices.push_back(d);
    config.timeouts.ackMs = 300;
    config.timeouts.handshakeMs = 300;
    config.timeouts.idleMs = kWaitMs;
    return config;
}

Bytes le16(uint16_t v)
{
    return {uint8_t(v), uint8_t(v >> 8)};
}
uint16_t le16(const Bytes &b, std::size_t at)
{
    return uint16_t(b.at(at) | b.at(at + 1) << 8);
}

} // namespace simtest
