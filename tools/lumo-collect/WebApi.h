// The operator's view of the fleet over HTTP: /metrics, the JSON API under /api/ and the
// web view's files. Everything here only reads: the store through a FleetReader of its
// own, the run's figures through the MetricsBoard. Requests are answered on the HTTP
// endpoint's threads; nothing here takes a lock the device callbacks take.
//
//   GET /metrics                          Prometheus text format
//   GET /api/fleet                        counts, expected interval, the run's figures
//   GET /api/devices?q=&sort=&order=&overdue=&offset=&limit=
//   GET /api/devices/DIN                  one device, its clock offset and last syncs
//   GET /api/devices/DIN/measurements?offset=&limit=
//   GET /api/measurements/ID              one measurement with its samples
//   GET /, /app.js, ...                   the web view (built into the binary)
//
// With a token every request but /healthz must carry it: "Authorization: Bearer TOKEN",
// or HTTP Basic with any user name and the token as password (what a browser asks for).
#ifndef LUMO_COLLECT_WEBAPI_H
#define LUMO_COLLECT_WEBAPI_H

#include "FleetReader.h"
#include "Metrics.h"
#include "StoredTime.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumo_collect {

struct WebRequest {
    std::string path;
    std::multimap<std::string, std::string> query;
    std::string authorization; // the Authorization header, empty when absent
};

struct WebReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct WebConfig {
    // A device whose last contact is older than this is overdue; none: no device is.
    std::optional<std::chrono::seconds> expectEvery;
    std::string token; // empty: no token asked for
};

class WebApi {
public:
    using Now = std::function<SystemTime()>;

    WebApi(
        WebConfig config, FleetReader &reader, const MetricsBoard &board,
        Now now = [] { return std::chrono::system_clock::now(); });
    WebReply handle(const WebRequest &request) const;

    // The paths handle() answers (regular expressions over the whole path).
    static std::vector<std::string> routes();

private:
    bool authorised(const WebRequest &request) const;
    std::optional<std::string> overdueBefore() const;
    WebReply metrics() const;
    WebReply fleet() const;
    WebReply devices(const WebRequest &request) const;
    WebReply device(const std::string &din) const;
    WebReply measurements(const std::string &din, const WebRequest &request) const;
    WebReply measurement(const std::string &id) const;

    const WebConfig config_;
    FleetReader &reader_;
    const MetricsBoard &board_;
    const Now now_;
};

// Reads a token file: its first line, without surrounding white space. False with the
// reason when it cannot be read or holds no token.
bool readTokenFile(const std::string &path, std::string &token, std::string &error);

} // namespace lumo_collect

#endif
