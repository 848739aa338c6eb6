#include "Hdf5Writer.h"

#include <hdf5.h>

#include <cstdio>

namespace lumo_collect {

namespace {

constexpr int kIdDigits = 12;

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

Hdf5Writer::Hdf5Writer(const std::string &path)
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // failures are reported by the caller
    file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    if (file_ < 0)
        return;
    group_ = H5Gcreate2(file_, "measurements", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    failed_ = group_ < 0 || !textAttribute(file_, "measured_at_clock", "device") ||
              !textAttribute(file_, "received_at_clock", "UTC");
}

Hdf5Writer::~Hdf5Writer()
{
    close();
}

bool Hdf5Writer::write(const MeasurementRecord &m)
{
    if (!ok() || failed_)
        return false;
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
