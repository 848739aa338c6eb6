#include "StoredTime.h"

#include <QDateTime>
#include <QString>

namespace lumo_collect {

std::optional<int64_t> storedTimeToEpochMs(const std::string &text)
{
    // Without a zone Qt reads the text as local time, as the collector wrote it.
    const QDateTime t = QDateTime::fromString(QString::fromStdString(text), Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch();
}

std::string storedTimeText(SystemTime when)
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms)
        .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        .toStdString();
}

} // namespace lumo_collect
