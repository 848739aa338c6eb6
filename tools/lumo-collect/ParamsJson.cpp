#include "ParamsJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace lumo_collect {

namespace {

constexpr int kHexBase = 16;

// One integer field: a JSON number without fraction, or a "0x" text, within max.
bool readUnsigned(const QJsonValue &value, uint32_t max, const std::string &name, uint32_t &out,
                  std::string &error)
{
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::floor(d) != d || d < 0 || d > max) {
            error = name + ": " + QString::number(d, 'g', 17).toStdString() +
                    " is not an integer from 0 to " + std::to_string(max);
            return false;
        }
        out = static_cast<uint32_t>(d);
        return true;
    }
    if (value.isString()) {
        const QString text = value.toString().trimmed();
        bool ok = false;
        qulonglong parsed = 0;
        if (text.startsWith("0x", Qt::CaseInsensitive) && text.size() > 2)
            parsed = text.mid(2).toULongLong(&ok, kHexBase);
        if (!ok || parsed > max) {
            error = name + ": \"" + text.toStdString() +
                    "\" is not a hexadecimal number (0x...) from 0 to " + std::to_string(max);
            return false;
        }
        out = static_cast<uint32_t>(parsed);
        return true;
    }
    error = name + ": expected an integer or a \"0x...\" text";
    return false;
}

template <typename T>
bool readScalar(const QJsonObject &object, const char *name, T &field, std::string &error)
{
    uint32_t value = 0;
    if (!readUnsigned(object.value(name), std::numeric_limits<T>::max(), name, value, error))
        return false;
    field = static_cast<T>(value);
    return true;
}

template <typename T, std::size_t N>
bool readArray(const QJsonObject &object, const char *name, T (&field)[N], std::string &error)
{
    const QJsonValue value = object.value(name);
    if (!value.isArray() || value.toArray().size() != static_cast<int>(N)) {
        error = std::string(name) + ": expected an array of " + std::to_string(N) + " integers";
        return false;
    }
    const QJsonArray array = value.toArray();
    for (std::size_t i = 0; i < N; ++i) {
        uint32_t element = 0;
        const std::string elementName = std::string(name) + "[" + std::to_string(i) + "]";
        if (!readUnsigned(array.at(static_cast<int>(i)), std::numeric_limits<T>::max(), elementName,
                          element, error))
            return false;
        field[i] = static_cast<T>(element);
    }
    return true;
}

const char *const kFieldNames[] = {"param16a", "param32a", "param32b", "param16b",
                                   "param32c", "param16c", "param32d", "crc16"};

bool checkKeys(const QJsonObject &object, std::string &error)
{
    for (const char *name : kFieldNames) {
        if (!object.contains(name)) {
            error = std::string("missing field \"") + name + "\"";
            return false;
        }
    }
    for (const QString &key : object.keys()) {
        bool known = false;
        for (const char *name : kFieldNames)
            known = known || key == name;
        if (!known) {
            error = "unknown field \"" + key.toStdString() + "\"";
            return false;
        }
    }
    return true;
}

} // namespace

bool parseDeviceParams(const std::string &jsonText, liblumo::DeviceParams &params,
                       std::string &error)
{
    QJsonParseError parseError{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray::fromStdString(jsonText), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = "not valid JSON: " + parseError.errorString().toStdString() + " at offset " +
                std::to_string(parseError.offset);
        return false;
    }
    if (!doc.isObject()) {
        error = "expected a JSON object with the parameter fields";
        return false;
    }
    const QJsonObject object = doc.object();
    if (!checkKeys(object, error))
        return false;

    liblumo::DeviceParams p;
    std::memset(&p, 0, sizeof p); // padding and reserved go out as zero bytes
    const bool ok = readArray(object, "param16a", p.param16a, error) &&
                    readScalar(object, "param32a", p.param32a, error) &&
                    readScalar(object, "param32b", p.param32b, error) &&
                    readScalar(object, "param16b", p.param16b, error) &&
                    readScalar(object, "param32c", p.param32c, error) &&
                    readArray(object, "param16c", p.param16c, error) &&
                    readArray(object, "param32d", p.param32d, error) &&
                    readScalar(object, "crc16", p.crc16, error);
    if (!ok)
        return false;
    params = p;
    return true;
}

bool loadDeviceParams(const std::string &path, liblumo::DeviceParams &params, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read parameter file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!parseDeviceParams(text.str(), params, error)) {
        error = "invalid parameter file " + path + ": " + error;
        return false;
    }
    return true;
}

} // namespace lumo_collect
