// What the tool does: a collection run, the plot of a stored measurement, an export.
#ifndef LUMO_COLLECT_COLLECTOR_H
#define LUMO_COLLECT_COLLECTOR_H

#include "Options.h"

#include <string>

namespace lumo_collect {

int runCollect(const Options &options);
int runPlot(const Options &options);
// The web view and its API over a store, without collecting, until Ctrl-C or SIGTERM.
int runServe(const Options &options);
// lumo-collect export: the stored measurements a filter takes into a CSV, JSONL or HDF5 file.
int runExport(const Options &options);
// What --version prints: the tool's and the library's version and the schema version.
std::string versionText();
// False, with the reason, when writing the picture to `output` would overwrite the
// database (the same file by any path, or one of its journals) or any SQLite database.
bool outputSparesDatabase(const std::string &output, const std::string &dbPath, std::string &error);

} // namespace lumo_collect

#endif
