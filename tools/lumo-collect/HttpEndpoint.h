// The collector's small HTTP endpoint (--http ADDR:PORT, off by default): /healthz for a
// load balancer, and GET routes that other parts of the tool register before it starts.
// It runs on threads of its own, so a slow client or a busy storage never holds up the
// device connections, and a handler must only read state that is safe to read from there.
#ifndef LUMO_COLLECT_HTTPENDPOINT_H
#define LUMO_COLLECT_HTTPENDPOINT_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace lumo_collect {

struct HttpRequest {
    std::string path;
    std::multimap<std::string, std::string> query; // decoded ?a=b&c=d
    std::vector<std::string> matches;              // the pattern's capture groups
    std::string authorization;                     // the Authorization header, or empty
};

struct HttpReply {
    // A constructor rather than an aggregate: replies written as {status, type, body}
    // stay complete as members are added.
    HttpReply(int status = 200, std::string contentType = "text/plain; charset=utf-8",
              std::string body = {}, std::vector<std::pair<std::string, std::string>> headers = {})
        : status(status), contentType(std::move(contentType)), body(std::move(body)),
          headers(std::move(headers))
    {
    }
    int status;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // beside the content type
};

using HttpHandler = std::function<HttpReply(const HttpRequest &)>;

// "ADDR:PORT" ("127.0.0.1:8080", "[::1]:8080", ":8080" for every IPv4 address); port 0
// asks the system for a free one.
bool parseHttpAddress(const std::string &text, std::string &host, uint16_t &port,
                      std::string &error);

class HttpEndpoint {
public:
    // Why the collector should get no new devices now ("storage is down: ..."), or empty
    // when it is healthy. Called on the endpoint's threads.
    using HealthCheck = std::function<std::string()>;

    explicit HttpEndpoint(HealthCheck health);
    // Stops the server and joins its threads.
    ~HttpEndpoint();
    HttpEndpoint(const HttpEndpoint &) = delete;
    HttpEndpoint &operator=(const HttpEndpoint &) = delete;

    // A GET route; pattern is an ECMAScript regular expression matched against the whole
    // path ("/api/devices/([0-9-]+)"). Only before start().
    void addGet(const std::string &pattern, HttpHandler handler);
    // Binds and serves on a thread of its own; false with the reason when it cannot bind.
    bool start(const std::string &host, uint16_t port, std::string &error);
    // The port bound (the system's choice for 0); 0 before start().
    uint16_t port() const { return port_; }

private:
    HealthCheck health_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    uint16_t port_ = 0;
};

} // namespace lumo_collect

#endif
