#include "Exchange.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>

namespace liblumo {

namespace {
constexpr std::size_t kDinBytes = kDinSize - 1; // the last byte stays the terminating zero
}

void prepareEventRecord(lumo_EventData &record, const QString &din)
{
    std::memset(&record, 0, sizeof record);
    const QByteArray utf8 = din.toUtf8();
    std::memcpy(record.din, utf8.constData(), std::min<std::size_t>(utf8.size(), kDinBytes));
}

std::unique_ptr<lumo_EventData> makeEventRecord(const QString &din)
{
    auto event = std::make_unique<lumo_EventData>();
    prepareEventRecord(*event, din);
    return event;
}

} // namespace liblumo
