#include "Exchange.h"

#include "channels/ChannelRecord.h"
#include "helpers/Logging.h"

#include <cstring>

namespace liblumo {

namespace {

// A measurement whose two counts are both zero holds nothing worth reporting.
bool carriesCounts(const Measurement &measurement)
{
    return measurement.ns != 0 || measurement.nss != 0;
}

} // namespace

bool Exchange::doDataTransfer(ChannelRecord &record, const QString &din)
{
    const auto event = makeEventRecord(din);
    // Filled by each retrieval in turn and never cleared in between, like the payload the
    // host sees: samples past a measurement's own blocks may be those of an earlier one.
    const auto measurement = std::make_unique<Measurement>();

    const uint16_t available = record.protocol.getAvailableMeasurement(kCommandTimeoutMs);
    // 0xFFFF is also what a failed request returns, so it can only mean failure: the host
    // must not see a transfer that never happened reported as done.
    if (available == kCountFailed) {
        LUMO_INFO << "Exchange::doDataTransfer count request failed";
        return false;
    }
    // The device's count is signed: zero and negative values mean nothing is stored.
    const int16_t count = int16_t(available);
    if (count <= 0)
        return true;

    for (int index = 1; index <= count; ++index) {
        if (record.stopRequested.load())
            return false;
        LUMO_INFO << "Exchange::doDataTransfer" << index << "of" << count;
        if (!record.protocol.retriveNextMeasurement(*measurement, kCommandTimeoutMs))
            return false;
        if (carriesCounts(*measurement)) {
            std::memcpy(event->payload, measurement.get(), sizeof(Measurement));
            record.raise(EV_MEASUREMENT, event.get());
        }
    }
    return true;
}

} // namespace liblumo
