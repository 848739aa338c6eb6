// The check made before a serial channel starts: the library reports nothing for a
// serial device that is not there, it just keeps trying to open it. (A TCP port it cannot
// listen on it reports itself, when the channel starts.)
#ifndef LUMO_COLLECT_SERIALCHECK_H
#define LUMO_COLLECT_SERIALCHECK_H

#include <string>

namespace lumo_collect {

// The serial device path exists, is a character device, opens, and is a terminal.
bool probeSerialPath(const std::string &path, std::string &error);

} // namespace lumo_collect

#endif
