#include "WebApi.h"

#include "DinList.h"
#include "WebAssets.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <charconv>
#include <fstream>

namespace lumo_collect {

namespace {

constexpr int kDefaultPageRows = 50;
constexpr int kSyncsShown = 20;
// The view's files change only with the binary; the data never is cached.
constexpr const char *kNoStore = "no-store";
constexpr const char *kAssetCache = "max-age=3600";
// The view runs only its own scripts and styles, and talks only to this endpoint.
constexpr const char *kContentPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// Ids are positive and below 10^18, so they always fit the store's 64-bit integers.
constexpr std::size_t kMaxIdDigits = 18;

// The item between prefix and suffix of a path ("/api/devices/" DIN "/measurements"),
// when the path is exactly that and the item holds no '/'.
bool pathItem(const std::string &path, const std::string &prefix, const std::string &suffix,
              std::string &item)
{
    if (path.size() <= prefix.size() + suffix.size() ||
        path.compare(0, prefix.size(), prefix) != 0 ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    item = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    return item.find('/') == std::string::npos;
}

bool isMeasurementId(const std::string &id)
{
    return !id.empty() && id.size() <= kMaxIdDigits &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QString q(const std::string &s)
{
    return QString::fromStdString(s);
}

QJsonValue optionalText(const std::optional<std::string> &v)
{
    return v ? QJsonValue(q(*v)) : QJsonValue();
}

WebReply json(const QJsonObject &o, int status = 200)
{
    WebReply r;
    r.status = status;
    r.body = QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
    r.headers.emplace_back("Cache-Control", kNoStore);
    return r;
}

WebReply problem(int status, const std::string &why)
{
    return json(QJsonObject{{"error", q(why)}}, status);
}

// The store could not answer: said as 503, the view shows it and asks again.
WebReply unreadable(const std::string &why)
{
    return problem(503, "the store cannot be read: " + why);
}

// A query parameter, or fallback when absent; none when present but not a number in
// [low, high].
std::optional<int64_t> number(const WebRequest &r, const char *name, int64_t fallback, int64_t low,
                              int64_t high)
{
    const auto it = r.query.find(name);
    if (it == r.query.end() || it->second.empty())
        return fallback;
    int64_t v = 0;
    const char *end = it->second.data() + it->second.size();
    const auto [at, ec] = std::from_chars(it->second.data(), end, v);
    if (ec != std::errc() || at != end || v < low || v > high)
        return std::nullopt;
    return v;
}

std::string text(const WebRequest &r, const char *name)
{
    const auto it = r.query.find(name);
    return it == r.query.end() ? std::string() : it->second;
}

// The status JSON as stored, as an object; anything else as the text it is.
QJsonValue statusValue(const std::optional<std::string> &status)
{
    if (!status)
        return QJsonValue();
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(*status));
    return doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(q(*status));
}

QJsonObject deviceJson(const DeviceRow &d)
{
    QJsonObject o{{"din", q(d.din)},
                  {"first_seen", q(d.firstSeen)},
                  {"last_seen", q(d.lastSeen)},
                  {"last_session",
                   QJsonObject{{"at", q(d.lastSeen)}, {"outcome", outcomeName(d.lastOutcome)}}},
                  {"measurements", static_cast<double>(d.measurements)},
                  {"last_measurement_at", optionalText(d.lastMeasurementAt)},
                  {"last_status", statusValue(d.lastStatus)},
                  {"last_status_at", optionalText(d.lastStatusAt)},
                  {"overdue", d.overdue}};
    const auto offset = d.lastStatus && d.lastStatusAt
                            ? clockOffsetSeconds(*d.lastStatus, *d.lastStatusAt)
                            : std::nullopt;
    o["clock_offset_s"] = offset ? QJsonValue(static_cast<double>(*offset)) : QJsonValue();
    return o;
}

QJsonObject measurementJson(const MeasurementRow &m)
{
    return QJsonObject{{"id", static_cast<double>(m.id)},
                       {"din", q(m.din)},
                       {"received_at", q(m.receivedAt)},
                       {"device_time", q(m.measuredAt)},
                       {"typeset", static_cast<double>(m.typeset)},
                       {"ns", static_cast<double>(m.ns)},
                       {"nss", static_cast<double>(m.nss)},
                       {"sample_count", static_cast<double>(m.sampleCount)}};
}

std::optional<DeviceSort> sortOf(const std::string &name)
{
    static const std::map<std::string, DeviceSort> kSorts = {
        {"", DeviceSort::Din},
        {"din", DeviceSort::Din},
        {"first_seen", DeviceSort::FirstSeen},
        {"last_seen", DeviceSort::LastSeen},
        {"measurements", DeviceSort::Measurements}};
    const auto it = kSorts.find(name);
    return it == kSorts.end() ? std::nullopt : std::optional(it->second);
}

// Equal texts in a time that does not depend on where they first differ.
bool sameSecret(const std::string &given, const std::string &token)
{
    if (given.size() != token.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

WebReply asset(const std::string &path)
{
    const WebAsset *a = findWebAsset(path == "/" ? "/index.html" : path);
    if (!a)
        return problem(404, "no such page");
    WebReply r;
    r.contentType = a->contentType;
    r.body.assign(reinterpret_cast<const char *>(a->data), a->size);
    r.headers.emplace_back("Cache-Control",
                           path == "/" || path == "/index.html" ? kNoStore : kAssetCache);
    return r;
}

} // namespace

WebApi::WebApi(WebConfig config, FleetReader &reader, const MetricsBoard &board, Now now)
    : config_(std::move(config)), reader_(reader), board_(board), now_(std::move(now))
{
}

std::vector<std::string> WebApi::routes()
{
    return {"/metrics", "/api/.*", "/", "/[A-Za-z0-9._-]+"};
}

bool WebApi::authorised(const WebRequest &r) const
{
    if (config_.token.empty())
        return true;
    const std::string &h = r.authorization;
    static const std::string kBearer = "Bearer ";
    static const std::string kBasic = "Basic ";
    if (h.compare(0, kBearer.size(), kBearer) == 0)
        return sameSecret(h.substr(kBearer.size()), config_.token);
    if (h.compare(0, kBasic.size(), kBasic) == 0) {
        // "user:token": the user name is not asked for, the password is the token.
        const std::string pair =
            QByteArray::fromBase64(QByteArray::fromStdString(h.substr(kBasic.size())))
                .toStdString();
        const auto colon = pair.find(':');
        return colon != std::string::npos && sameSecret(pair.substr(colon + 1), config_.token);
    }
    return false;
}

std::optional<std::string> WebApi::overdueBefore() const
{
    if (!config_.expectEvery)
        return std::nullopt;
    return storedTimeText(now_() - *config_.expectEvery);
}

WebReply WebApi::handle(const WebRequest &r) const
{
    WebReply reply = [&] {
        if (!authorised(r)) {
            WebReply refused = problem(401, "this endpoint asks for its token");
            refused.headers.emplace_back("WWW-Authenticate",
                                         "Basic realm=\"lumo-collect\", charset=\"UTF-8\"");
            return refused;
        }
        std::string din;
        std::string id;
        if (r.path == "/metrics")
            return metrics();
        if (r.path == "/api/fleet")
            return fleet();
        if (r.path == "/api/devices")
            return devices(r);
        if (pathItem(r.path, "/api/devices/", "", din) && isValidDin(din))
            return device(din);
        if (pathItem(r.path, "/api/devices/", "/measurements", din) && isValidDin(din))
            return measurements(din, r);
        if (pathItem(r.path, "/api/measurements/", "", id) && isMeasurementId(id))
            return measurement(id);
        if (r.path.rfind("/api/", 0) == 0)
            return problem(404, "no such resource");
        return asset(r.path);
    }();
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.headers.emplace_back("Content-Security-Policy", kContentPolicy);
    reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    return reply;
}

WebReply WebApi::metrics() const
{
    StoreFigures store;
    store.overdueKnown = config_.expectEvery.has_value();
    std::string error;
    store.readable = reader_.counts(overdueBefore(), store.counts, error);
    WebReply r;
    r.contentType = "text/plain; version=0.0.4; charset=utf-8";
    r.body = renderMetrics(board_, store);
    r.headers.emplace_back("Cache-Control", kNoStore);
    return r;
}

WebReply WebApi::fleet() const
{
    FleetCounts counts;
    std::string error;
    if (!reader_.counts(overdueBefore(), counts, error))
        return unreadable(error);
    QJsonObject o{{"devices", static_cast<double>(counts.devices)},
                  {"measurements", static_cast<double>(counts.measurements)},
                  {"overdue", config_.expectEvery ? QJsonValue(static_cast<double>(counts.overdue))
                                                  : QJsonValue()},
                  {"expect_every_s", config_.expectEvery ? QJsonValue(static_cast<double>(
                                                               config_.expectEvery->count()))
                                                         : QJsonValue()},
                  {"now", q(storedTimeText(now_()))}};
    if (const std::optional<Stats> s = board_.latest())
        o["collector"] = QJsonObject{{"connections", static_cast<double>(s->liveConnections)},
                                     {"storage_up", !s->storageDown},
                                     {"measurements_stored", static_cast<double>(s->measurements)},
                                     {"repeats", static_cast<double>(s->repeats)}};
    return json(o);
}

WebReply WebApi::devices(const WebRequest &r) const
{
    DeviceQuery query;
    const auto sort = sortOf(text(r, "sort"));
    const std::string order = text(r, "order");
    const auto offset = number(r, "offset", 0, 0, INT64_MAX / 2);
    const auto limit = number(r, "limit", kDefaultPageRows, 1, kMaxPageRows);
    const auto overdue = number(r, "overdue", 0, 0, 1);
    if (!sort || !offset || !limit || !overdue ||
        (order != "" && order != "asc" && order != "desc"))
        return problem(400, "sort is din, first_seen, last_seen or measurements; order asc or "
                            "desc; offset a number; limit 1 to " +
                                std::to_string(kMaxPageRows) + "; overdue 0 or 1");
    query.dinPart = text(r, "q");
    query.sort = *sort;
    query.descending = order == "desc";
    query.overdueOnly = *overdue == 1;
    query.overdueBefore = overdueBefore();
    query.offset = *offset;
    query.limit = static_cast<int>(*limit);
    DevicePage page;
    std::string error;
    if (!reader_.devices(query, page, error))
        return unreadable(error);
    QJsonArray rows;
    for (const DeviceRow &d : page.rows)
        rows.append(deviceJson(d));
    return json(QJsonObject{{"total", static_cast<double>(page.total)},
                            {"offset", static_cast<double>(query.offset)},
                            {"limit", query.limit},
                            {"devices", rows}});
}

WebReply WebApi::device(const std::string &din) const
{
    std::optional<DeviceRow> row;
    std::vector<SyncRow> syncs;
    std::string error;
    if (!reader_.device(din, overdueBefore(), row, error) ||
        (row && !reader_.syncs(din, kSyncsShown, syncs, error)))
        return unreadable(error);
    if (!row)
        return problem(404, "the store knows no device " + din);
    QJsonArray syncRows;
    for (const SyncRow &s : syncs)
        syncRows.append(QJsonObject{
            {"at", q(s.at)},
            {"ok", s.ok},
            {"params_written", s.paramsWritten},
            {"device_time",
             s.deviceTime ? QJsonValue(static_cast<double>(*s.deviceTime)) : QJsonValue()}});
    QJsonObject o = deviceJson(*row);
    o["syncs"] = syncRows;
    return json(o);
}

WebReply WebApi::measurements(const std::string &din, const WebRequest &r) const
{
    const auto offset = number(r, "offset", 0, 0, INT64_MAX / 2);
    const auto limit = number(r, "limit", kDefaultPageRows, 1, kMaxPageRows);
    if (!offset || !limit)
        return problem(400, "offset is a number; limit 1 to " + std::to_string(kMaxPageRows));
    std::vector<MeasurementRow> rows;
    int64_t total = 0;
    std::string error;
    if (!reader_.measurements(din, *offset, static_cast<int>(*limit), rows, total, error))
        return unreadable(error);
    QJsonArray list;
    for (const MeasurementRow &m : rows)
        list.append(measurementJson(m));
    return json(QJsonObject{{"din", q(din)},
                            {"total", static_cast<double>(total)},
                            {"offset", static_cast<double>(*offset)},
                            {"limit", static_cast<double>(*limit)},
                            {"measurements", list}});
}

WebReply WebApi::measurement(const std::string &id) const
{
    std::optional<MeasurementRow> row;
    std::vector<uint16_t> samples;
    std::string error;
    if (!reader_.samples(std::stoll(id), row, samples, error))
        return unreadable(error);
    if (!row)
        return problem(404, "the store holds no measurement " + id);
    // Up to 65536 numbers: written directly rather than through a JSON array of doubles.
    std::string body =
        QJsonDocument(measurementJson(*row)).toJson(QJsonDocument::Compact).toStdString();
    body.pop_back(); // the closing brace
    body += ",\"samples\":[";
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i)
            body += ',';
        body += std::to_string(samples[i]);
    }
    body += "]}";
    WebReply r;
    r.body = std::move(body);
    r.headers.emplace_back("Cache-Control", kNoStore);
    return r;
}

bool readTokenFile(const std::string &path, std::string &token, std::string &error)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        error = "cannot read the token file " + path;
        return false;
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    token = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (token.empty()) {
        error = "the token file " + path + " holds no token on its first line";
        return false;
    }
    return true;
}

} // namespace lumo_collect
