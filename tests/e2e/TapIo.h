// The platform calls of the end-to-end tests' own helpers: socket pairs, free ports,
// waiting on several descriptors, reads and writes.
#ifndef LUMO_TESTS_E2E_TAPIO_H
#define LUMO_TESTS_E2E_TAPIO_H

#include <cstddef>
#include <cstdint>

namespace e2e::io {

// A connected pair of local stream sockets; false on failure.
bool socketPair(int &first, int &second);
// A TCP port on 127.0.0.1 that was free a moment ago (0 on failure).
int freeTcpPort();
// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int connectTcp(int port);
// A socket listening on 127.0.0.1:port (taking the port); -1 on failure.
int listenTcp(int port);

// Waits until one of the descriptors is readable or has hung up, or timeoutMs passes.
// ready[i] tells which; false on time-out or failure.
bool waitAny(const int *fds, bool *ready, std::size_t count, int timeoutMs);

// >0 bytes read, 0 end of stream, -1 failure, kNothingYet when a non-blocking read finds
// nothing.
constexpr long kNothingYet = -2;
long readSome(int fd, uint8_t *buffer, std::size_t size);
// Writes every byte; false when the peer is gone.
bool writeAll(int fd, const uint8_t *data, std::size_t size);
void closeFd(int fd);

int processId();

// CPU time used by the whole process so far, in milliseconds.
int64_t processCpuMs();

} // namespace e2e::io

#endif
