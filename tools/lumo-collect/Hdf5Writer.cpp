#include "Hdf5Writer.h"

#include <hdf5.h>

#include <cstdio>
#include <fcntl.h>

namespace lumo_collect {

namespace {

constexpr int kIdDigits = 12;
// Disk space claimed ahead of the library's writes (see reserve): room for the metadata it
// keeps in its cache until the close, and for each dataset's header and attributes.
constexpr off_t kMetadataReserve = 4 << 20;
constexpr off_t kPerDatasetReserve = 16 << 10;

// Closes an HDF5 identifier with the function of its kind.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
    ~Handle()
    {
        if (id_ >= 0)
            close_(id_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

private:
    hid_t id_;
    herr_t (*close_)(hid_t);
};

bool scalarAttribute(hid_t on, const char *name, hid_t type, const void *value)
{
    Handle space(H5Screate(H5S_SCALAR), H5Sclose);
    Handle attr(H5Acreate2(on, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    return space.ok() && attr.ok() && H5Awrite(attr.get(), type, value) >= 0;
}

bool textAttribute(hid_t on, const char *name, const std::string &value)
{
    Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!type.ok() || H5Tset_size(type.get(), H5T_VARIABLE) < 0 ||
        H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)
        return false;
    const char *text = value.c_str();
    return scalarAttribute(on, name, type.get(), &text);
}

bool integerAttribute(hid_t on, const char *name, int64_t value)
{
    return scalarAttribute(on, name, H5T_NATIVE_INT64, &value);
}

} // namespace

Hdf5Writer::Hdf5Writer(const std::string &path, int fd) : fd_(fd)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // failures are reported by the caller
    // A close that cannot flush (disk full) must still let go of the file: with the weak
    // default the library keeps it open and tries again when the program ends.
    Handle access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    if (!access.ok() || H5Pset_fclose_degree(access.get(), H5F_CLOSE_STRONG) < 0)
        return;
    file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get());
    if (file_ < 0)
        return;
    failed_ = !reserve(kMetadataReserve);
    group_ = H5Gcreate2(file_, "measurements", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    failed_ = failed_ || group_ < 0 || !textAttribute(file_, "measured_at_clock", "device") ||
              !textAttribute(file_, "received_at_clock", "UTC");
}

Hdf5Writer::~Hdf5Writer()
{
    close();
}

bool Hdf5Writer::reserve(off_t bytes)
{
    // libhdf5 does not recover from a write that finds the disk full: it cannot close the
    // file then and fails when the program ends. So the space is claimed first, where a
    // full disk is only a refusal; the library cuts the file to its real end on close.
    if (::posix_fallocate(fd_, 0, reserved_ + bytes) != 0)
        return false;
    reserved_ += bytes;
    return true;
}

bool Hdf5Writer::write(const MeasurementRecord &m)
{
    if (!ok() || failed_)
        return false;
    if (!reserve(static_cast<off_t>(m.samples.size() * sizeof(uint16_t)) + kPerDatasetReserve)) {
        failed_ = true;
        return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%0*lld", kIdDigits, static_cast<long long>(m.id));
    const hsize_t count = m.samples.size();
    Handle space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    Handle set(
        H5Dcreate2(group_, name, H5T_STD_U16LE, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
        H5Dclose);
    const hid_t d = set.get();
    const bool ok = space.ok() && set.ok() &&
                    (count == 0 || H5Dwrite(d, H5T_NATIVE_UINT16, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                                            m.samples.data()) >= 0) &&
                    integerAttribute(d, "id", m.id) && textAttribute(d, "din", m.din) &&
                    textAttribute(d, "measured_at", m.measuredAt) &&
                    textAttribute(d, "received_at", m.receivedAt) &&
                    integerAttribute(d, "dtime_packed", m.dtimePacked) &&
                    integerAttribute(d, "typeset", m.typeset) && integerAttribute(d, "ns", m.ns) &&
                    integerAttribute(d, "nss", m.nss) &&
                    integerAttribute(d, "sample_count", static_cast<int64_t>(m.samples.size()));
    failed_ = failed_ || !ok;
    return ok;
}

bool Hdf5Writer::close()
{
    const bool wasOpen = file_ >= 0;
    if (group_ >= 0 && H5Gclose(group_) < 0)
        failed_ = true;
    group_ = -1;
    if (file_ >= 0 && (H5Fflush(file_, H5F_SCOPE_GLOBAL) < 0 || H5Fclose(file_) < 0))
        failed_ = true;
    file_ = -1;
    return wasOpen && !failed_;
}

} // namespace lumo_collect
