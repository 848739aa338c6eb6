// The stored measurements of a simulated device, generated from its configuration so
// that a test can recompute every byte the device sends.
//
// Measurement m (0-based, in the order the device hands them over) of device d:
//   blocks        d.blocks, numbered 1..blocks; the block-number byte is the number's
//                 low 8 bits (a 256th block therefore carries 0)
//   samples       d.samplesPerBlock per block; sample i counts over the whole measurement
//   dtime         d.clock minus (d.measurements - m) * 600 seconds, packed
//   typeset       m % 255 + 1
//   totBlocks     blocks (16 bits)
//   ns            blocks * samplesPerBlock (total samples), nss = samplesPerBlock, each
//                 kept in its 16 bits (65536 samples give ns 0)
//   even m: sine  32768 + round(16000 * sin(2 * pi * (i + phase) / 64)),
//                 phase = (seed + m) % 64
//   odd m:  ramp  (seed + 1000 * m + i) mod 65536
#ifndef LUMO_SIM_WAVEFORM_H
#define LUMO_SIM_WAVEFORM_H

#include "SimConfig.h"

#include <cstdint>
#include <vector>

namespace lumosim {

struct MeasurementHeader {
    uint16_t totBlocks = 0;
    uint32_t dtime = 0; // packed
    uint8_t typeset = 0;
    uint16_t ns = 0;
    uint16_t nss = 0;
};

constexpr int64_t kMeasurementSpacingSec = 600;

uint16_t sampleValue(const SimDevice &device, uint32_t index, uint32_t sample);
std::vector<uint16_t> expectedSamples(const SimDevice &device, uint32_t index);
MeasurementHeader expectedHeader(const SimDevice &device, uint32_t index);

// The 11-byte header payload and the payload of block number `block` (1-based).
Bytes headerPayload(const MeasurementHeader &header);
Bytes blockPayload(const SimDevice &device, uint32_t index, uint32_t block);
void appendBlockPayload(Bytes &out, const SimDevice &device, uint32_t index, uint32_t block);

} // namespace lumosim

#endif
