// The configuration file of a collector run as a service (--config FILE): TOML, one key
// per command-line option, named as the option without its dashes:
//
//   tcp = [5000, 5001]          listen = ["[::]:5000"]     serial = ["/dev/ttyUSB0"]
//   accept = ["000-001-234"]    params = "field.json"      hold = true / no-sleep = true
//   db = "/var/lib/lumo-collect/lumo.db"                   csv / jsonl / hdf5 = "FILE"
//   exit-when-idle = 30         max-devices = 3            max-connections = 256
//   verbose = 0..2              no-status = true           log-file = "..."
//   log-format = "text"|"json"
//
// A key that is not one of these, a value of the wrong type or one its option refuses is
// an error naming the file, the line and the key.
#ifndef LUMO_COLLECT_CONFIGFILE_H
#define LUMO_COLLECT_CONFIGFILE_H

#include "Options.h"

#include <string>

namespace lumo_collect {

// Reads the file into o (collect options only). False with "FILE:LINE: key: why".
bool loadConfigFile(const std::string &path, Options &o, std::string &error);

} // namespace lumo_collect

#endif
