// The two ends of a byte link for the benchmarks: a TCP loopback connection or a
// pseudo-terminal pair in raw mode. Every platform call of the benchmark lives in
// LinkPair.cpp.
#ifndef LUMO_BENCH_LINKPAIR_H
#define LUMO_BENCH_LINKPAIR_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    Fd(Fd &&other) noexcept : fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    int release();
    void reset();

private:
    int fd = -1;
};

struct LinkPair {
    Fd device; // the device's end
    Fd host;   // the host's end
};

// A connected TCP loopback pair, both ends blocking with TCP_NODELAY. Invalid ends on
// failure.
LinkPair makeTcpPair();
// A pseudo-terminal pair: device = master, host = slave in raw mode. Invalid on failure.
LinkPair makePtyPair();
// The path of the slave end of a pseudo-terminal master ("" on failure).
std::string ptySlavePath(int masterFd);
// A pseudo-terminal master whose slave (already raw) stays closed until a client opens
// its path.
Fd openPtyMaster();

// Blocking I/O that retries short transfers; false on end of stream or error.
bool writeAll(int fd, const uint8_t *data, std::size_t size);
bool readExact(int fd, uint8_t *data, std::size_t size);

// A TCP port on 127.0.0.1 that was free a moment ago (0 on failure).
int findFreeTcpPort();

} // namespace bench

#endif
