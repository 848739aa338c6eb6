// Checks made before a channel starts, because the library reports nothing for a port
// it cannot listen on or a serial device that is not there: it just waits.
#ifndef LUMO_COLLECT_PORTPROBE_H
#define LUMO_COLLECT_PORTPROBE_H

#include <cstdint>
#include <string>

namespace lumo_collect {

// Binds and listens on the port on all IPv4 addresses, as the library will, and lets
// go again. False with the reason when that fails (usually: in use).
bool probeTcpPort(uint16_t port, std::string &error);
// The serial device path exists, is a character device, opens, and is a terminal.
bool probeSerialPath(const std::string &path, std::string &error);

} // namespace lumo_collect

#endif
