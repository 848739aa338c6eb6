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
#include <sys/types.h>

namespace lumo_collect {

class Hdf5Writer {
public:
    // Creates (truncates) the file at path; fd is a descriptor of the same file, through
    // which disk space is claimed ahead of the library's writes. ok() tells whether that
    // worked.
    Hdf5Writer(const std::string &path, int fd);
    ~Hdf5Writer();
    Hdf5Writer(const Hdf5Writer &) = delete;
    Hdf5Writer &operator=(const Hdf5Writer &) = delete;

    bool ok() const { return file_ >= 0 && group_ >= 0; }
    bool write(const MeasurementRecord &m);
    // Flushes and closes; false when anything failed since the file was created.
    bool close();

private:
    bool reserve(off_t bytes);

    int fd_;
    off_t reserved_ = 0;
    int64_t file_ = -1; // hid_t
    int64_t group_ = -1;
    bool failed_ = false;
};

} // namespace lumo_collect

#endif
