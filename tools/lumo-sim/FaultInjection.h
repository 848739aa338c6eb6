// The configured fault injections (FaultConfig), as a session applies them: what they do
// to one device frame, to one host frame and to one retrieval, and the flood.
#ifndef LUMO_SIM_FAULTINJECTION_H
#define LUMO_SIM_FAULTINJECTION_H

#include "SimConfig.h"

#include <vector>

namespace lumosim {

// What the faults do to the device's frameNo-th frame (counted over the run, from 1).
struct FrameFaults {
    uint32_t answerDelayMs = 0;    // pause before the frame (answers only, not handshakes)
    uint32_t noiseBytes = 0;       // noise before every send of the frame
    bool badLrcFirst = false;      // the first send carries a wrong LRC
    bool dropAfterFirst = false;   // the link closes after the first send
    bool silentAfterFirst = false; // nothing more is said after the first send
    bool garbleFirstAck = false;   // the first ACK counts as garbled: the frame goes again
};
FrameFaults faultsForFrame(const FaultConfig &faults, uint64_t frameNo, bool handshake);

// Noise that never contains a start byte, so the host can always skip it.
void appendNoise(Bytes &out, uint32_t count);
// Spoils the LRC of the frame that ends `out`.
void corruptLrc(Bytes &out);

// True when the host's hostFrameNo-th valid frame is to be answered with a NAK.
bool nakHostFrame(const FaultConfig &faults, uint64_t hostFrameNo);

// The measurement faults that apply to the retrieval-th retrieval (none, or all).
FaultConfig faultsForRetrieval(const FaultConfig &faults, uint64_t retrieval);
// The block numbers (1-based) of one measurement in the order they go out.
std::vector<uint32_t> blockOrder(uint32_t blocks, const FaultConfig &faults);

} // namespace lumosim

#endif
