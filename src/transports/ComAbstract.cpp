#include "ComAbstract.h"

#include "helpers/Logging.h"

#include <QByteArray>

namespace liblumo::com {

bool ComAbstract::setBlocking(bool value)
{
    blocking = value;
    return true;
}

bool ComAbstract::isBlocking()
{
    return blocking;
}

void ComAbstract::setPortName(std::string) {}

bool ComAbstract::waitForInput(int)
{
    return isDataAvailable();
}

void ComAbstract::setError(int code, int detail)
{
    lastErrorCode = code;
    lastErrorDetail = detail;
}

void ComAbstract::traceBuffer(const char *label, const uint8_t *data, int size)
{
    LUMO_DEBUG << label
               << QByteArray::fromRawData(reinterpret_cast<const char *>(data), qMax(size, 0))
                      .toHex()
                      .toUpper();
}

} // namespace liblumo::com
