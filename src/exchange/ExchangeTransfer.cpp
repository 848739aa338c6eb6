#include "Exchange.h"

#include "exchange/ExchangeContext.h"
#include "helpers/Logging.h"

#include <cstring>

namespace liblumo {

namespace {

// A measurement worth handing over: one with counts, or one whose blocks carried samples.
bool worthReporting(const Measurement &measurement, int samples)
{
    return measurement.ns != 0 || measurement.nss != 0 || samples > 0;
}

} // namespace

bool Exchange::doDataTransfer(ExchangeContext &context, const QString &din)
{
    EventRecordPool::Lease event = context.records->borrow(din);
    event.notePayloadUsed(sizeof(Measurement));
    for (int round = 0; round < kMaxCountRounds; ++round) {
        if (round > 0 && context.stopRequested())
            return false;
        const uint16_t available = context.protocol->getAvailableMeasurement(kCommandTimeoutMs);
        // 0xFFFF is also what a failed request returns, so it can only mean failure: the
        // host must not see a transfer that never happened reported as done.
        if (available == Protocol::kCountFailed) {
            LUMO_INFO << "Exchange::doDataTransfer count request failed";
            return false;
        }
        // The device's count is signed: zero and negative values mean nothing is stored.
        const int16_t count = int16_t(available);
        if (count <= 0)
            return true;
        if (!transferRound(context, din, count, event.record()))
            return false;
    }
    LUMO_INFO << "Exchange::doDataTransfer device still reports measurements after"
              << kMaxCountRounds << "rounds";
    return false;
}

bool Exchange::transferRound(ExchangeContext &context, const QString &din, int count,
                             lumo_EventData &event)
{
    // Each measurement is taken straight into the record's payload: the header zero-fills
    // it first, so nothing of an earlier measurement shows through.
    auto &measurement = *reinterpret_cast<Measurement *>(event.payload);
    Protocol &protocol = *context.protocol;
    for (int index = 1; index <= count; ++index) {
        if (context.stopRequested())
            return false;
        LUMO_INFO << "Exchange::doDataTransfer" << index << "of" << count;
        int samples = 0;
        if (!protocol.retrieveNextMeasurement(measurement, kCommandTimeoutMs, samples))
            return false;
        // The device deletes a measurement once its last frame is acknowledged: that
        // happens only after the host has taken it.
        if (!worthReporting(measurement, samples)) {
            LUMO_INFO << "Exchange::doDataTransfer measurement without counts or samples";
        } else if (!handOver(context, din, samples, event)) {
            LUMO_INFO << "Exchange::doDataTransfer measurement refused by the host";
            protocol.link().refuseFrame();
            return false;
        }
        if (!protocol.link().acknowledgeFrame())
            return false;
    }
    return true;
}

bool Exchange::handOver(ExchangeContext &context, const QString &din, int samples,
                        lumo_EventData &event)
{
    // Everything but the measurement is as the host first sees it: zero, and the DIN (the
    // host may have written anywhere in the record last time).
    copyDin(event, din);
    event.reserved = uint32_t(samples);
    event.answer = 0;
    event.answerLength = 0;
    std::memset(event.answerData, 0, sizeof event.answerData);
    context.raise(EV_MEASUREMENT, &event);
    return event.answer == 0;
}

} // namespace liblumo
