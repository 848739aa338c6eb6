// Pseudo-terminal pairs made by the simulator itself, and the symbolic link that names
// the current one.
#ifndef LUMO_SIM_POSIXPTY_H
#define LUMO_SIM_POSIXPTY_H

#include "PosixFd.h"

#include <string>

namespace lumosim {

struct PtyPair {
    UniqueFd master;
    std::string slavePath;
};

// Creates a pseudo-terminal pair whose slave side is raw 115200 8N1.
bool createPty(PtyPair &pair, std::string &error);

// Waits until the host has read what we wrote to the pty (closing the master throws
// away whatever the slave still holds), at most timeoutMs. Returns at once when nobody
// has the slave open.
void waitPtyRead(int masterFd, const std::string &slavePath, int timeoutMs);

// Has anyone opened the slave side of the pty whose master is fd?
bool ptyPeerOpen(int masterFd);

// Points the symbolic link at target, replacing it atomically.
bool repointSymlink(const std::string &link, const std::string &target, std::string &error);
void removeSymlink(const std::string &link);

} // namespace lumosim

#endif
