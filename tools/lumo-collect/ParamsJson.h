// The device parameter file: a JSON object that names every DeviceParams field.
//
//   { "param16a": [1, 2, 3, 4, 5], "param32a": 100000, "param32b": "0x0001F4A0",
//     "param16b": 7, "param32c": 0, "param16c": [0, 0, 0, 0, 0, 0],
//     "param32d": [0, 0, 0, 0, 0, 0], "crc16": "0xBEEF" }
//
// Numbers are JSON integers or "0x..." hexadecimal texts. Every field is required and no
// other key is allowed, so a typo never silently sends a zero to a device. crc16 is the
// CRC the host states for the set; the library compares it with the device's own and
// writes the parameters only when they differ.
#ifndef LUMO_COLLECT_PARAMSJSON_H
#define LUMO_COLLECT_PARAMSJSON_H

#include <liblumo.h>

#include <string>

namespace lumo_collect {

bool parseDeviceParams(const std::string &jsonText, liblumo::DeviceParams &params,
                       std::string &error);
bool loadDeviceParams(const std::string &path, liblumo::DeviceParams &params, std::string &error);

} // namespace lumo_collect

#endif
