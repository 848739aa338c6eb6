#include "ComAbstract.h"

#include "helpers/Logging.h"

#include <QByteArray>

namespace liblumo::com {

void ComAbstract::traceBuffer(const char *label, const uint8_t *data, int size)
{
    LUMO_DEBUG.noquote() << label
                         << QLatin1String(
                                log::quotedHex(reinterpret_cast<const char *>(data), size));
}

} // namespace liblumo::com
