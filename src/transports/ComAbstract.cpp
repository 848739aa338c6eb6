#include "ComAbstract.h"

#include "helpers/Logging.h"

#include <QByteArray>

namespace liblumo::com {

void ComAbstract::traceBuffer(const char *label, const uint8_t *data, int size)
{
    LUMO_DEBUG << label
               << QByteArray::fromRawData(reinterpret_cast<const char *>(data), qMax(size, 0))
                      .toHex()
                      .toUpper();
}

} // namespace liblumo::com
