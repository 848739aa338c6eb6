#include "HttpEndpoint.h"

#include <httplib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <sys/socket.h>

namespace lumo_collect {

namespace {

// Requests are short and few (a health check every few seconds, an operator's page): two
// threads serve them, and a client that stalls is dropped instead of holding one.
constexpr std::size_t kServerThreads = 2;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr long kMaxPort = 65535;
constexpr std::chrono::milliseconds kStartPoll{1};
constexpr int kStartPolls = 5000;

const char kPlainText[] = "text/plain; charset=utf-8";

} // namespace

bool parseHttpAddress(const std::string &text, std::string &host, uint16_t &port,
                      std::string &error)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "--http: \"" + text + "\" is not ADDR:PORT";
        return false;
    }
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    else if (address.find(':') != std::string::npos) {
        error = "--http: an IPv6 address goes in brackets ([::1]:8080)";
        return false;
    }
    const std::string digits = text.substr(colon + 1);
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || errno != 0 || *end != '\0' || value < 0 || value > kMaxPort) {
        error = "--http: port \"" + digits + "\" is not a number from 0 to 65535";
        return false;
    }
    host = address.empty() ? "0.0.0.0" : address;
    port = static_cast<uint16_t>(value);
    return true;
}

HttpEndpoint::HttpEndpoint(HealthCheck health)
    : health_(std::move(health)), server_(std::make_unique<httplib::Server>())
{
    server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server_->set_read_timeout(kReadTimeoutSeconds, 0);
    server_->set_write_timeout(kWriteTimeoutSeconds, 0);
    // The library's default is SO_REUSEPORT, with which a second collector on the same
    // port would bind without a word and take half the health checks.
    server_->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    addGet("/healthz", [this](const HttpRequest &) {
        const std::string why = health_ ? health_() : std::string();
        if (why.empty())
            return HttpReply{200, kPlainText, "ok\n"};
        return HttpReply{503, kPlainText, why + "\n"};
    });
}

HttpEndpoint::~HttpEndpoint()
{
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

void HttpEndpoint::addGet(const std::string &pattern, HttpHandler handler)
{
    server_->Get(pattern, [handler = std::move(handler)](const httplib::Request &req,
                                                         httplib::Response &res) {
        HttpRequest request;
        request.path = req.path;
        request.query.insert(req.params.begin(), req.params.end());
        for (std::size_t i = 1; i < req.matches.size(); ++i)
            request.matches.push_back(req.matches[i].str());
        request.authorization = req.get_header_value("Authorization");
        HttpReply reply = handler(request);
        for (const auto &[name, value] : reply.headers)
            res.set_header(name, value);
        res.status = reply.status;
        res.set_content(reply.body, reply.contentType.c_str());
    });
}

bool HttpEndpoint::start(const std::string &host, uint16_t port, std::string &error)
{
    const int bound = port == 0 ? server_->bind_to_any_port(host.c_str())
                                : (server_->bind_to_port(host.c_str(), port) ? port : -1);
    if (bound <= 0) {
        error = "cannot listen for HTTP on " + host + ":" + std::to_string(port) +
                " (address in use or not on this machine)";
        return false;
    }
    port_ = static_cast<uint16_t>(bound);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() does nothing to a server that has not begun to listen: wait for it, so that
    // the destructor cannot miss it and wait forever.
    for (int i = 0; i < kStartPolls && !server_->is_running(); ++i)
        std::this_thread::sleep_for(kStartPoll);
    return true;
}

} // namespace lumo_collect
