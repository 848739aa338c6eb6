#include "Exchange.h"

#include "channels/ChannelRecord.h"

namespace liblumo {

std::unique_ptr<lumo_EventData> makeEventRecord(const QString &din)
{
    auto event = std::make_unique<lumo_EventData>();
    prepareEventRecord(*event, din);
    return event;
}

} // namespace liblumo
