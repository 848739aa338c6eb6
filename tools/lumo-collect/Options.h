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

enum class Mode { Collect, Plot, Serve, Export, Version, Help };
enum class LogFormat { Text, Json };
enum class ExportFormat { None, Csv, Jsonl, Hdf5 };

// A --listen address: a literal IPv4 or IPv6 address (brackets removed) and a port.
struct ListenAddress {
    std::string address;
    uint16_t port = 0;
    std::string text() const; // "127.0.0.1:5000", "[::1]:5000"
};

struct Options {
    Mode mode = Mode::Collect;

    // collect
    std::vector<uint16_t> tcpPorts;
    std::vector<ListenAddress> listen;
    std::vector<std::string> serialPorts; // paths, or "auto"
    std::set<std::string> accept;
    std::string paramsFile;
    FinalStep finalStep = FinalStep::Sleep;
    std::string dbPath = "lumo.db";
    // Exports of what this run stored or found stored, made from the store at its end.
    std::string csvPath;
    std::string jsonlPath;
    std::string hdf5Path;
    std::string configFile;
    // A --db URL with a password was on the command line (readable with ps until hidden);
    // set by main, not an option: a URL from the configuration file is not warned about.
    bool passwordOnCommandLine = false;
    std::string logFile; // empty: stderr
    LogFormat logFormat = LogFormat::Text;
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

    // plot, export
    std::string din;
    long index = -1;
    std::string output;
    // export: device-time bounds "yyyy-MM-dd HH:mm:ss" (from inclusive, to exclusive)
    std::string from;
    std::string to;
    ExportFormat format = ExportFormat::None;

    // The keys (option names without dashes) given on the command line: they override
    // the configuration file.
    std::set<std::string> given;
};

// The configuration-file key of each collect option and how a value set from one source
// replaces the other's.
void applyGivenOptions(const Options &from, Options &to);
// Parses one collect option as if given on the command line (the configuration file
// hands its keys over as such). arg is "--key".
bool parseCollectArgs(const std::vector<std::string> &args, Options &o, std::string &error);

// args excludes the program name. On failure returns false with a one-line message.
// The collect options are checked for a channel only once the configuration file (if any)
// is merged: checkCollectOptions.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);
bool checkCollectOptions(const Options &o, std::string &error);
std::string usageText();

} // namespace lumo_collect

#endif
