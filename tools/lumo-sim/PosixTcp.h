// Outgoing TCP connection of a simulated device.
#ifndef LUMO_SIM_POSIXTCP_H
#define LUMO_SIM_POSIXTCP_H

#include "PosixFd.h"

#include <string>

namespace lumosim {

// Connects to host:port, retrying while the host is not listening yet, until
// timeoutMs has passed or stop fires. The socket is non-blocking with TCP_NODELAY set.
// On failure returns an invalid descriptor and a reason in error.
UniqueFd connectTcp(const std::string &host, int port, int timeoutMs, const StopSignal *stop,
                    std::string &error);

} // namespace lumosim

#endif
