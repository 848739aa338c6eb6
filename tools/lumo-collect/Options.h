// The command line of lumo-collect.
#ifndef LUMO_COLLECT_OPTIONS_H
#define LUMO_COLLECT_OPTIONS_H

#include "DevicePlan.h"
#include "MeasurementRecord.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace lumo_collect {

// Exit statuses, also listed in --help.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // a run that lost data (storage errors) or a plot that failed
constexpr int kExitUsage = 2;   // bad options or input files
// port in use, serial device missing or not a terminal, database unusable (missing,
// read-only, not writable, locked, of a newer schema version)
constexpr int kExitUnavailable = 3;

// Device connections served at once on each --tcp port. Each costs a thread (512 KiB of
// stack reserved, little of it used), one descriptor and up to about 0.5 MiB while a
// measurement waits for its commit: 256 stay far below the usual limit of 1024 open
// descriptors and about 128 MiB at worst, and serve a fleet calling in over slow links.
constexpr int kDefaultMaxConnections = 256;
constexpr int kMaxMaxConnections = 65535;

enum class Mode { Collect, Plot, Serve, Help };

struct Options {
    Mode mode = Mode::Collect;

    // collect
    std::vector<uint16_t> tcpPorts;
    std::vector<std::string> serialPorts; // paths, or "auto"
    std::set<std::string> accept;
    std::string paramsFile;
    FinalStep finalStep = FinalStep::Sleep;
    std::string dbPath = "lumo.db";
    std::string csvDir;
    std::string jsonlPath;
    int verbosity = 0;
    bool statusLine = true;
    double exitWhenIdleSeconds = 0;              // 0: off
    int maxDevices = 0;                          // 0: off
    int maxConnections = kDefaultMaxConnections; // per TCP port; 1: one at a time
    std::string httpHost;                        // empty: no HTTP endpoint
    uint16_t httpPort = 0;                       // 0: the system's choice

    // the web view (collect and serve)
    std::string httpTokenFile;   // empty: no token asked for
    long expectEverySeconds = 0; // 0: no device is overdue

    // plot
    std::string din;
    long index = -1;
    std::string output;
};

// args excludes the program name. On failure returns false with a one-line message.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);
std::string usageText();

} // namespace lumo_collect

#endif
