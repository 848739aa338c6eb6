#include "Exchange.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>

namespace liblumo {

namespace {
constexpr std::size_t kDinBytes = kDinSize - 1; // the last byte stays the terminating zero
}

void copyDin(lumo_EventData &record, const QString &din)
{
    std::memset(record.din, 0, sizeof record.din);
    const QByteArray utf8 = din.toUtf8();
    std::memcpy(record.din, utf8.constData(), std::min<std::size_t>(utf8.size(), kDinBytes));
}

} // namespace liblumo
