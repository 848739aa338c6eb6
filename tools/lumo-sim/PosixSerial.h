// Serial lines: a tty opened raw at 115200 baud, 8 data bits, no parity, one stop bit.
#ifndef LUMO_SIM_POSIXSERIAL_H
#define LUMO_SIM_POSIXSERIAL_H

#include "PosixFd.h"

#include <string>

namespace lumosim {

// Opens path non-blocking and configures it raw 115200 8N1 without flow control.
UniqueFd openSerial(const std::string &path, std::string &error);

// Puts an open tty into raw 115200 8N1.
bool makeRaw(int fd);

// Waits until a tty has sent its output.
void drainSerial(int fd);

} // namespace lumosim

#endif
