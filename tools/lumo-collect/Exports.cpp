#include "Exports.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>
#include <filesystem>
#include <system_error>

namespace lumo_collect {

namespace {

const char *const kMeasurementsHeader =
    "id,din,measured_at,received_at,dtime_packed,typeset,ns,nss,sample_count\n";
const char *const kSamplesHeader = "measurement_id,din,index,value\n";

// Opens for appending and writes the header when the file is new or empty.
bool openAppend(const std::filesystem::path &path, const char *header, std::ofstream &out,
                std::string &error)
{
    std::error_code ec;
    const bool fresh =
        !std::filesystem::exists(path, ec) || std::filesystem::file_size(path, ec) == 0;
    out.open(path, std::ios::app | std::ios::binary);
    if (!out) {
        error = "cannot write " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (fresh)
        out << header << std::flush;
    return static_cast<bool>(out);
}

QJsonObject measurementObject(const MeasurementRecord &m)
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
    QJsonArray samples;
    for (uint16_t s : m.samples)
        samples.append(s);
    o["samples"] = samples;
    return o;
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

std::unique_ptr<CsvExport> CsvExport::open(const std::string &dir, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create CSV folder " + dir + ": " + ec.message();
        return nullptr;
    }
    std::unique_ptr<CsvExport> e(new CsvExport);
    const std::filesystem::path base(dir);
    if (!openAppend(base / "measurements.csv", kMeasurementsHeader, e->measurements_, error) ||
        !openAppend(base / "samples.csv", kSamplesHeader, e->samples_, error))
        return nullptr;
    return e;
}

bool CsvExport::write(const MeasurementRecord &m)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string din = csvField(m.din);
    measurements_ << m.id << ',' << din << ',' << csvField(m.measuredAt) << ','
                  << csvField(m.receivedAt) << ',' << m.dtimePacked << ',' << m.typeset << ','
                  << m.ns << ',' << m.nss << ',' << m.samples.size() << '\n';
    for (std::size_t i = 0; i < m.samples.size(); ++i)
        samples_ << m.id << ',' << din << ',' << i << ',' << m.samples[i] << '\n';
    measurements_.flush();
    samples_.flush();
    return measurements_.good() && samples_.good();
}

std::unique_ptr<JsonlExport> JsonlExport::open(const std::string &path, std::string &error)
{
    std::unique_ptr<JsonlExport> e(new JsonlExport);
    e->out_.open(path, std::ios::app | std::ios::binary);
    if (!e->out_) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return e;
}

bool JsonlExport::writeLine(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << line << '\n' << std::flush;
    return out_.good();
}

bool JsonlExport::write(const MeasurementRecord &m)
{
    return writeLine(
        QJsonDocument(measurementObject(m)).toJson(QJsonDocument::Compact).toStdString());
}

bool JsonlExport::write(const SyncRecord &s)
{
    QJsonObject o;
    o["type"] = "sync";
    o["din"] = QString::fromStdString(s.din);
    o["at"] = QString::fromStdString(s.at);
    o["ok"] = s.ok;
    o["params_written"] = s.paramsWritten;
    if (s.hostCrc16)
        o["host_crc16"] = *s.hostCrc16;
    if (s.status) {
        QJsonObject status;
        status["status32a"] = static_cast<qint64>(s.status->status32a);
        status["status32b"] = static_cast<qint64>(s.status->status32b);
        status["status16a"] = s.status->status16a;
        status["deviceTime"] = static_cast<qint64>(s.status->deviceTime);
        QJsonArray b;
        for (uint16_t v : s.status->status16b)
            b.append(v);
        status["status16b"] = b;
        o["status"] = status;
    }
    return writeLine(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString());
}

} // namespace lumo_collect
