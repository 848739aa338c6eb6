// A hand-written host side for driving the simulator in tests. It frames and checks
// bytes with its own few lines of code, not with the simulator's codec.
#ifndef LUMO_TESTS_SIM_SCRIPTEDHOST_H
#define LUMO_TESTS_SIM_SCRIPTEDHOST_H

#include "Options.h"
#include "Simulator.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <iterator>
#include <numeric>
#include <sstream>

namespace simtest {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t STX = 0x02, ACK = 0x06, NAK = 0x15;
// Generous bound for any single wait: long enough never to flake on a loaded machine.
constexpr int kWaitMs = 10000;

inline Bytes hostFrame(uint16_t packet, uint8_t command, const Bytes &data = {})
{
    const std::size_t length = data.size() + 2;
    Bytes f = {STX,    uint8_t(packet >> 8), uint8_t(packet), uint8_t(length >> 8), uint8_t(length),
               command};
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(uint8_t(std::accumulate(f.begin(), f.end(), 0, std::bit_xor<int>())));
    return f;
}

inline uint16_t le16(const Bytes &b, std::size_t at)
{
    return uint16_t(b.at(at) | b.at(at + 1) << 8);
}

inline std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The configuration a command line gives; the tests replace its link.
inline lumosim::SimConfig commandLine(const std::string &args)
{
    lumosim::Options o;
    std::string error;
    EXPECT_TRUE(lumosim::parseOptions(words("--pty " + args), o, error)) << error;
    return o.config;
}

struct RawFrame {
    uint16_t packet = 0;
    uint8_t command = 0;
    Bytes data;
    Bytes wire;              // the frame's bytes as received
    bool lrcOk = false;      // its checksum is right
    std::size_t skipped = 0; // bytes before its start byte
};

class ScriptedHost {
public:
    explicit ScriptedHost(int fd) : fd_(fd) {}

    // n bytes, or fewer when a wait for the next byte times out or the stream ends.
    Bytes read(std::size_t n, int timeoutMs = kWaitMs)
    {
        Bytes out(n);
        std::size_t got = 0;
        pollfd p{fd_, POLLIN, 0};
        ssize_t r = 0;
        while (got<n && ::poll(&p, 1, timeoutMs)> 0 &&
               (r = ::read(fd_, out.data() + got, n - got)) > 0)
            got += std::size_t(r);
        out.resize(got);
        return out;
    }
    // The next frame, its checksum right or wrong; false on time-out or end of stream.
    bool readFrame(RawFrame &f)
    {
        f = RawFrame{};
        for (; (f.wire = read(1)) != Bytes{STX}; ++f.skipped)
            if (f.wire.empty())
                return false;
        const Bytes head = read(5);
        const std::size_t length = head.size() == 5 ? std::size_t(head[2]) << 8 | head[3] : 0;
        const Bytes rest = read(length < 2 ? 0 : length - 1); // the data and the LRC
        if (length < 2 || rest.size() != length - 1)
            return false;
        Bytes &b = f.wire;
        b.insert(b.end(), head.begin(), head.end());
        b.insert(b.end(), rest.begin(), rest.end());
        f.lrcOk = std::accumulate(b.begin(), b.end(), 0, std::bit_xor<int>()) == 0;
        f.packet = uint16_t(b[1] << 8 | b[2]);
        f.command = b[5];
        f.data.assign(b.begin() + 6, b.end() - 1);
        lastPacket_ = f.lrcOk ? f.packet : lastPacket_;
        return true;
    }
    uint8_t readControl(int timeoutMs = kWaitMs) // 0 when nothing came
    {
        const Bytes b = read(1, timeoutMs);
        return b.empty() ? 0 : b[0];
    }
    void write(const Bytes &bytes) // a closed link is no signal, the next read tells
    {
        ssize_t r = 0;
        for (std::size_t done = 0; done < bytes.size() && r >= 0; done += std::size_t(r))
            r = ::send(fd_, bytes.data() + done, byteWise ? 1 : bytes.size() - done, MSG_NOSIGNAL);
    }
    // Sends a command carrying the last packet number seen; returns the answer byte.
    uint8_t command(uint8_t command, const Bytes &data = {})
    {
        write(hostFrame(lastPacket_, command, data));
        return readControl();
    }
    // Sends the command, reads the answer frame and acknowledges it.
    bool ask(uint8_t cmd, RawFrame &answer, const Bytes &data = {})
    {
        if (command(cmd, data) != ACK || !readFrame(answer) || !answer.lrcOk)
            return false;
        write({ACK});
        return true;
    }
    bool byteWise = false; // write every byte separately

private:
    int fd_;
    uint16_t lastPacket_ = 0;
};

// A simulator on a thread, talking over one end of a socketpair; the test is the host
// on the other end.
class SimOnThread {
public:
    explicit SimOnThread(lumosim::SimConfig config, int socketType = SOCK_STREAM)
        : sim(std::move(config))
    {
        int fds[2] = {-1, -1};
        ::socketpair(AF_UNIX, socketType | SOCK_CLOEXEC, 0, fds);
        hostFd_ = lumosim::UniqueFd(fds[0]);
        host = ScriptedHost(fds[0]);
        link_ = std::make_unique<lumosim::Link>(lumosim::UniqueFd(fds[1]), "socketpair");
        run_ = std::async(std::launch::async, [this] { return sim.run(*link_); });
    }
    ~SimOnThread() { sim.stop(); } // the future waits for run() to end
    // Waits for run() to end (it does by itself; the stop only bounds a broken test).
    lumosim::SimReport finish()
    {
        if (run_.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready)
            sim.stop();
        return run_.get();
    }

    lumosim::Simulator sim;
    ScriptedHost host{-1};

private:
    lumosim::UniqueFd hostFd_;
    std::unique_ptr<lumosim::Link> link_;
    std::future<lumosim::SimReport> run_; // last: destroyed (and waited for) first
};

} // namespace simtest

#endif
