// Plain exports beside the database, appended to on every run.
//   --csv DIR     DIR/measurements.csv  one row per measurement
//                 DIR/samples.csv       one row per sample (measurement_id, din, index, value)
//   --jsonl FILE  one JSON object per line: {"type":"measurement",...} or {"type":"sync",...}
// Each write is flushed before it returns, like the database commit.
#ifndef LUMO_COLLECT_EXPORTS_H
#define LUMO_COLLECT_EXPORTS_H

#include "MeasurementRecord.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

namespace lumo_collect {

// A text field quoted as CSV needs it (comma, quote or line break inside).
std::string csvField(const std::string &text);

class CsvExport {
public:
    static std::unique_ptr<CsvExport> open(const std::string &dir, std::string &error);
    bool write(const MeasurementRecord &m);

private:
    CsvExport() = default;
    std::mutex mutex_;
    std::ofstream measurements_;
    std::ofstream samples_;
};

class JsonlExport {
public:
    static std::unique_ptr<JsonlExport> open(const std::string &path, std::string &error);
    bool write(const MeasurementRecord &m);
    bool write(const SyncRecord &s);

private:
    JsonlExport() = default;
    bool writeLine(const std::string &line);
    std::mutex mutex_;
    std::ofstream out_;
};

} // namespace lumo_collect

#endif
