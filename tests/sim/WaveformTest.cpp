// The measurement contents a test can rely on, recomputed from their description.
#include "Waveform.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

lumosim::SimDevice device(uint32_t seed, uint32_t blocks, uint32_t spb)
{
    lumosim::SimDevice d = lumosim::defaultDevice(555);
    d.seed = seed;
    d.blocks = blocks;
    d.samplesPerBlock = spb;
    d.measurements = 4;
    return d;
}

} // namespace

TEST(SimWaveform, EvenMeasurementsAreTheDocumentedSine)
{
    const auto d = device(10, 3, 50);
    const auto samples = lumosim::expectedSamples(d, 2);
    ASSERT_EQ(samples.size(), 150u);
    const int phase = (10 + 2) % 64;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double want = 32768 + 16000 * std::sin(2 * M_PI * double(i + phase) / 64.0);
        EXPECT_NEAR(samples[i], want, 0.5001) << "sample " << i;
    }
    // Quarter period past phase 12: i = 4 is at 16/64, the crest.
    EXPECT_EQ(samples[4], 48768);
    EXPECT_EQ(samples[36], 16768); // the trough, half a period later
}

TEST(SimWaveform, OddMeasurementsAreRampsThatWrap)
{
    const auto d = device(65530, 1, 10);
    const auto samples = lumosim::expectedSamples(d, 1);
    // 65530 + 1000 = 66530, mod 65536 = 994.
    EXPECT_EQ(samples.front(), 994);
    EXPECT_EQ(samples.back(), 1003);
    const auto d2 = device(65000, 1, 100);
    const auto wrap = lumosim::expectedSamples(d2, 3); // starts at 68000 mod 65536 = 2464
    EXPECT_EQ(wrap[0], 2464);
}

TEST(SimWaveform, BlocksSplitTheSamplesInOrder)
{
    const auto d = device(99, 4, 7);
    const auto samples = lumosim::expectedSamples(d, 0);
    for (uint32_t block = 1; block <= 4; ++block) {
        const lumosim::Bytes p = lumosim::blockPayload(d, 0, block);
        ASSERT_EQ(p.size(), 1u + 2 * 7);
        EXPECT_EQ(p[0], block);
        for (uint32_t i = 0; i < 7; ++i)
            EXPECT_EQ(uint16_t(p[1 + 2 * i] | p[2 + 2 * i] << 8), samples[(block - 1) * 7 + i]);
    }
}

TEST(SimWaveform, EmptyAndLargestMeasurements)
{
    EXPECT_TRUE(lumosim::expectedSamples(device(1, 0, 200), 0).empty());
    EXPECT_TRUE(lumosim::expectedSamples(device(1, 5, 0), 1).empty());
    const auto big = device(1, 256, 255);
    EXPECT_EQ(lumosim::expectedSamples(big, 1).size(), 65280u);
    EXPECT_EQ(lumosim::expectedHeader(big, 1).ns, 65280);
}
