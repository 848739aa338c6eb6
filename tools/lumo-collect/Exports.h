// Exports of stored measurements, made from the store (SQLite or PostgreSQL):
//   csv    one row per measurement, its samples in the last column separated by spaces
//   jsonl  one JSON object per measurement and line, the samples as an array
//   hdf5   one uint16 dataset per measurement (/measurements/<id, 12 digits>), its fields
//          as attributes of the dataset
// measured_at is device time (the device's clock as it reports it, no zone); received_at
// is UTC. The file is written under a temporary name beside the target, synced, and then
// renamed over it, so a reader never sees half an export.
#ifndef LUMO_COLLECT_EXPORTS_H
#define LUMO_COLLECT_EXPORTS_H

#include "Options.h"
#include "Storage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumo_collect {

// A text field quoted as CSV needs it (comma, quote or line break inside).
std::string csvField(const std::string &text);
// The format a file name's extension suggests (.csv, .jsonl, .h5/.hdf5), or None.
ExportFormat formatOfPath(const std::string &path);
const char *formatName(ExportFormat format);

struct ExportRequest {
    ExportFormat format = ExportFormat::Csv;
    std::string output;
    MeasurementFilter filter;
    std::optional<std::vector<int64_t>> ids; // set: exactly these (a run's measurements)
};

struct ExportResult {
    int status = kExitOk; // kExitFailure: the store could not be read; kExitUnavailable: the
                          // target could not be written (nothing is left of it)
    std::size_t measurements = 0;
    std::size_t samples = 0;
    std::string error;
};

ExportResult exportMeasurements(Storage &storage, const ExportRequest &request);
// Whether an export could be written to `output` now (its temporary file can be made);
// a run checks its exports before it starts rather than fail at its end.
bool exportTargetUsable(const std::string &output, std::string &error);

} // namespace lumo_collect

#endif
