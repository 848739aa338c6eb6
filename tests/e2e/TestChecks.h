// Checks shared by the end-to-end cases: what the host received against what the
// simulated device holds, and the wire in units.
#ifndef LUMO_TESTS_E2E_TESTCHECKS_H
#define LUMO_TESTS_E2E_TESTCHECKS_H

#include "HostRecorder.h"
#include "SimConfig.h"
#include "WireTap.h"

#include <vector>

namespace e2e {

using namespace liblumo::test;

// The kinds of the events from index `from` on.
std::vector<liblumo::lumo_Event> kinds(const std::vector<SeenEvent> &events, std::size_t from = 0);
// The raw bytes of each unit.
std::vector<std::vector<uint8_t>> rawUnits(const std::vector<HostUnit> &units);

// The measurement of an EV_MEASUREMENT against measurement `index` of the device.
void expectMeasurement(const SeenEvent &seen, const lumosim::SimDevice &device, uint32_t index);
// The status of an EV_SYNC_DONE against the device's status block and clock.
void expectStatus(const SeenEvent &seen, const lumosim::SimDevice &device);
// A 7-byte date and time payload holds the current UTC time (within a few seconds).
void expectUtcNow(const std::vector<uint8_t> &payload);

} // namespace e2e

#endif
