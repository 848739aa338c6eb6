// Sits on the TCP connection between a simulated device and the library and records
// every byte the library sends, with the moment it arrived, so tests can check the wire
// byte for byte and time the keep-alives. It can also cut the connection when the
// library sends a given command, as a device that vanishes at that moment.
#ifndef LUMO_TESTS_E2E_WIRETAP_H
#define LUMO_TESTS_E2E_WIRETAP_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// One unit of what the library wrote: an ACK or NAK byte, a frame, or a stray byte.
struct HostUnit {
    enum Kind { Ack, Nak, Frame, Stray } kind = Stray;
    int64_t atMs = 0;         // when its first byte arrived (monotonic)
    std::vector<uint8_t> raw; // every byte of the unit as written
    uint16_t packet = 0;
    uint8_t command = 0;
    std::vector<uint8_t> data;
};

// Splits the library's byte stream into units. Frames are cut by their length field; a
// frame still incomplete at the end is left out.
std::vector<HostUnit> splitHostStream(const std::vector<uint8_t> &bytes,
                                      const std::vector<int64_t> &arrival);

class WireTap {
public:
    WireTap();
    ~WireTap();
    WireTap(const WireTap &) = delete;
    WireTap &operator=(const WireTap &) = delete;

    // Connects to the library at 127.0.0.1:port (retrying while it is not listening yet)
    // and returns the descriptor the simulated device talks through, or -1.
    int connect(int port, std::string &error);
    // Cut both sides, without passing it on, when the library sends this command.
    void cutOnCommand(uint8_t command) { cutCommand = command; }
    // Cut both sides now, as a device that vanishes.
    void cutNow();

    std::vector<HostUnit> hostUnits() const;
    std::vector<HostUnit> hostFrames(uint8_t command) const;
    std::vector<uint8_t> hostBytes() const;
    // Waits until the library has sent n frames of this command; false on time-out.
    bool waitHostFrames(uint8_t command, std::size_t n, int timeoutMs) const;
    // Waits until the library closed its side; false when timeoutMs passed.
    bool waitHostClosed(int timeoutMs) const;
    bool hostClosed() const;
    int64_t hostClosedAtMs() const;

private:
    void relay();
    bool forwardFromHost();
    bool forwardFromDevice();
    void closeBoth(bool byHost);

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int libraryFd = -1;
    int deviceFd = -1; // the tap's end of the device's socket pair
    int wakeRead = -1;
    int wakeWrite = -1;
    int cutCommand = -1;
    std::vector<uint8_t> fromHost;
    std::vector<int64_t> arrival;
    bool closedByHost = false;
    bool closed = false;
    int64_t closedAtMs = 0;
    std::thread worker;
};

} // namespace e2e

#endif
