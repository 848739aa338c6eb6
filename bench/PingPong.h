// The physical limit of the stop-and-wait conversation on this machine: a device thread
// writes one data-block-sized frame, the host thread reads it whole and answers with one
// byte, and the device waits for that byte before the next frame. No parsing, no logging.
#ifndef LUMO_BENCH_PINGPONG_H
#define LUMO_BENCH_PINGPONG_H

#include <cstddef>

namespace bench {

// A data-block frame of 255 samples: 7 bytes of framing + block number + 510 sample bytes.
constexpr std::size_t kBlockFrameBytes = 7 + 1 + 2 * 255;

enum class LinkKind { Tcp, Pty };

// Frames per second of one run of `frames` round trips; 0 when the link failed.
double pingPongFramesPerSecond(LinkKind kind, int frames);

} // namespace bench

#endif
