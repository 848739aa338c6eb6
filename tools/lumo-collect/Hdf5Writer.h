// An HDF5 file of measurements through libhdf5: the group /measurements holds one dataset
// per measurement, named by its id (12 digits, so names sort as ids do), of its samples
// as little-endian uint16; its fields are attributes of the dataset (strings as UTF-8
// variable-length strings). The root carries "measured_at_clock" = "device" (measured_at
// is the device's clock, no zone) and "received_at_clock" = "UTC".
#ifndef LUMO_COLLECT_HDF5WRITER_H
#define LUMO_COLLECT_HDF5WRITER_H

#include "MeasurementRecord.h"

#include <cstdint>
#include <string>

namespace lumo_collect {

class Hdf5Writer {
public:
    // Creates (truncates) the file; ok() tells whether that worked.
    explicit Hdf5Writer(const std::string &path);
    ~Hdf5Writer();
    Hdf5Writer(const Hdf5Writer &) = delete;
    Hdf5Writer &operator=(const Hdf5Writer &) = delete;

    bool ok() const { return file_ >= 0 && group_ >= 0; }
    bool write(const MeasurementRecord &m);
    // Flushes and closes; false when anything failed since the file was created.
    bool close();

private:
    int64_t file_ = -1; // hid_t
    int64_t group_ = -1;
    bool failed_ = false;
};

} // namespace lumo_collect

#endif
