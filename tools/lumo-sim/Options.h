// The command line of lumo-sim.
#ifndef LUMO_SIM_OPTIONS_H
#define LUMO_SIM_OPTIONS_H

#include "SimConfig.h"

#include <string>
#include <vector>

namespace lumosim {

enum class LinkKind { None, Tcp, Serial, Pty };

struct Options {
    SimConfig config;
    LinkKind link = LinkKind::None;
    std::string host;
    int port = 0;
    std::string serialPath;
    std::string symlinkPath;      // --link, with --pty
    uint64_t replugAfter = 0;     // --replug-after, with --pty
    std::string reportPath;       // empty: stdout
    int ptyOpenTimeoutMs = 60000; // a person may start the host by hand: wait longer
    uint32_t fleet = 0;           // --fleet N: N devices, each on its own TCP connection
    uint32_t rampMs = 0;          // --ramp-ms, with --fleet
    bool help = false;
};

// Fills options from the arguments (without the program name). False with a reason in
// error for anything it does not understand.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);

const char *helpText();

} // namespace lumosim

#endif
