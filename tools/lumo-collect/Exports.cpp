#include "Exports.h"

#include "Hdf5Writer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace lumo_collect {

namespace {

const char *const kCsvHeader =
    "id,din,measured_at,received_at,dtime_packed,typeset,ns,nss,sample_count,samples\n";

std::string systemError()
{
    return std::strerror(errno);
}

// A file replaced keeps its mode; a new one gets the mode the umask leaves, as any file
// the program creates (mkstemp makes it private).
mode_t modeFor(const std::string &target)
{
    constexpr mode_t kNewFileMode = 0666;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0)
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return kNewFileMode & ~mask;
}

// The export's file under a temporary name in the target's folder (so the rename stays on
// one file system); removed again unless committed.
class TempFile {
public:
    explicit TempFile(const std::string &target) : target_(target)
    {
        const auto slash = target.rfind('/');
        const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
        std::string pattern = dir + "." + base + ".tmp-XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0) {
            error_ = "cannot write " + target + ": " + systemError();
            return;
        }
        path_ = pattern;
        ::fchmod(fd_, modeFor(target));
    }
    ~TempFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }
    int fd() const { return fd_; }
    // Synced to disk, then renamed over the target.
    bool commit()
    {
        if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
            fd_ = -1;
            error_ = "cannot write " + target_ + ": " + systemError();
            return false;
        }
        fd_ = -1;
        if (::rename(path_.c_str(), target_.c_str()) != 0) {
            error_ = "cannot write " + target_ + ": " + systemError();
            return false;
        }
        path_.clear();
        return true;
    }

private:
    std::string target_;
    std::string path_;
    std::string error_;
    int fd_ = -1;
};

class Writer {
public:
    virtual ~Writer() = default;
    virtual bool write(const MeasurementRecord &m) = 0;
    // Everything flushed into the file; false when a write failed.
    virtual bool finish() = 0;
};

// Text formats through a buffered stream on the temporary file's descriptor.
class TextWriter : public Writer {
public:
    explicit TextWriter(int fd) : out_(::fdopen(::dup(fd), "w")) {}
    ~TextWriter() override
    {
        if (out_)
            std::fclose(out_);
    }
    bool finish() override
    {
        const bool ok = out_ && std::fflush(out_) == 0 && !std::ferror(out_);
        return ok;
    }

protected:
    bool put(const std::string &text)
    {
        return out_ && std::fwrite(text.data(), 1, text.size(), out_) == text.size();
    }
    std::FILE *out_;
};

class CsvWriter : public TextWriter {
public:
    explicit CsvWriter(int fd) : TextWriter(fd) { put(kCsvHeader); }
    bool write(const MeasurementRecord &m) override
    {
        std::string row = std::to_string(m.id) + ',' + csvField(m.din) + ',' +
                          csvField(m.measuredAt) + ',' + csvField(m.receivedAt) + ',' +
                          std::to_string(m.dtimePacked) + ',' + std::to_string(m.typeset) + ',' +
                          std::to_string(m.ns) + ',' + std::to_string(m.nss) + ',' +
                          std::to_string(m.samples.size()) + ',';
        for (std::size_t i = 0; i < m.samples.size(); ++i) {
            if (i)
                row += ' ';
            row += std::to_string(m.samples[i]);
        }
        return put(row + '\n');
    }
};

class JsonlWriter : public TextWriter {
public:
    using TextWriter::TextWriter;
    bool write(const MeasurementRecord &m) override
    {
        QJsonObject o;
        o["type"] = "measurement";
        o["id"] = static_cast<qint64>(m.id);
        o["din"] = QString::fromStdString(m.din);
        o["measured_at"] = QString::fromStdString(m.measuredAt);
        o["received_at"] = QString::fromStdString(m.receivedAt);
        o["dtime_packed"] = static_cast<qint64>(m.dtimePacked);
        o["typeset"] = static_cast<qint64>(m.typeset);
        o["ns"] = m.ns;
        o["nss"] = m.nss;
        o["sample_count"] = static_cast<qint64>(m.samples.size());
        QJsonArray samples;
        for (uint16_t s : m.samples)
            samples.append(s);
        o["samples"] = samples;
        return put(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString() + '\n');
    }
};

class Hdf5Export : public Writer {
public:
    Hdf5Export(const std::string &path, int fd) : file_(path, fd) {}
    bool ready() const { return file_.ok(); }
    bool write(const MeasurementRecord &m) override { return file_.write(m); }
    bool finish() override { return file_.close(); }

private:
    Hdf5Writer file_;
};

std::unique_ptr<Writer> makeWriter(ExportFormat format, const TempFile &file)
{
    switch (format) {
    case ExportFormat::Csv:
        return std::make_unique<CsvWriter>(file.fd());
    case ExportFormat::Jsonl:
        return std::make_unique<JsonlWriter>(file.fd());
    case ExportFormat::Hdf5: {
        auto h5 = std::make_unique<Hdf5Export>(file.path(), file.fd());
        if (!h5->ready())
            return nullptr;
        return h5;
    }
    case ExportFormat::None:
        break;
    }
    return nullptr;
}

ExportResult failed(int status, std::string error)
{
    ExportResult r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::string csvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

ExportFormat formatOfPath(const std::string &path)
{
    if (endsWith(path, ".csv"))
        return ExportFormat::Csv;
    if (endsWith(path, ".jsonl"))
        return ExportFormat::Jsonl;
    if (endsWith(path, ".h5") || endsWith(path, ".hdf5"))
        return ExportFormat::Hdf5;
    return ExportFormat::None;
}

const char *formatName(ExportFormat format)
{
    switch (format) {
    case ExportFormat::Csv:
        return "CSV";
    case ExportFormat::Jsonl:
        return "JSONL";
    case ExportFormat::Hdf5:
        return "HDF5";
    case ExportFormat::None:
        break;
    }
    return "?";
}

bool exportTargetUsable(const std::string &output, std::string &error)
{
    struct stat st {};
    if (::stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot write " + output + ": it is a folder";
        return false;
    }
    const TempFile probe(output); // removed again at once
    error = probe.error();
    return probe.ok();
}

ExportResult exportMeasurements(Storage &storage, const ExportRequest &request)
{
    std::vector<int64_t> ids;
    std::string error;
    if (request.ids)
        ids = *request.ids;
    else if (!storage.findMeasurementIds(request.filter, ids, error))
        return failed(kExitFailure, "cannot read the store: " + error);
    TempFile file(request.output);
    if (!file.ok())
        return failed(kExitUnavailable, file.error());
    std::unique_ptr<Writer> writer = makeWriter(request.format, file);
    if (!writer)
        return failed(kExitUnavailable, "cannot write " + request.output + ": " +
                                            formatName(request.format) + " file not created");
    ExportResult result;
    // One measurement in memory at a time, however large the export.
    for (int64_t id : ids) {
        MeasurementRecord m;
        if (!storage.loadMeasurementById(id, m, error))
            return failed(kExitFailure,
                          "cannot read measurement " + std::to_string(id) + ": " + error);
        if (!writer->write(m))
            return failed(kExitUnavailable,
                          "cannot write " + request.output + " (disk full?): nothing written");
        ++result.measurements;
        result.samples += m.samples.size();
    }
    if (!writer->finish())
        return failed(kExitUnavailable,
                      "cannot write " + request.output + " (disk full?): nothing written");
    writer.reset();
    if (!file.commit())
        return failed(kExitUnavailable, file.error());
    return result;
}

} // namespace lumo_collect
