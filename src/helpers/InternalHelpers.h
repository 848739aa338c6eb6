// Helpers the library uses internally and does not export.
#ifndef LIBLUMO_HELPERS_INTERNALHELPERS_H
#define LIBLUMO_HELPERS_INTERNALHELPERS_H

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace liblumo::helpers {

// Lower-case hexadecimal, left-padded with '0' to width; never cut.
QString hexValue(uint8_t value, int width);
QString hexValue(uint16_t value, int width);
QString hexValue(uint32_t value, int width);

// CRC-16, polynomial 0x3D65, initial 0, MSB first, result complemented; 0xFFFF for no data.
uint16_t calcCrc16(const uint8_t *data, uint16_t length);

// Compact JSON text of an object: the inverse of toJson.
QString fromJson(const QJsonObject &object);

} // namespace liblumo::helpers

#endif
