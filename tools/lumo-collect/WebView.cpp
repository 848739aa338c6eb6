#include "WebView.h"

namespace lumo_collect {

std::unique_ptr<WebView> WebView::open(const Options &o, const MetricsBoard &board, int &status,
                                       std::string &error)
{
    WebConfig config;
    if (o.expectEverySeconds > 0)
        config.expectEvery = std::chrono::seconds(o.expectEverySeconds);
    if (!o.httpTokenFile.empty() && !readTokenFile(o.httpTokenFile, config.token, error)) {
        status = kExitUsage;
        return nullptr;
    }
    std::unique_ptr<FleetReader> reader = openFleetReader(o.dbPath, error);
    if (!reader) {
        status = kExitUnavailable;
        return nullptr;
    }
    return std::unique_ptr<WebView>(new WebView(std::move(reader), std::move(config), board));
}

WebView::WebView(std::unique_ptr<FleetReader> reader, WebConfig config, const MetricsBoard &board)
    : reader_(std::move(reader)), api_(std::move(config), *reader_, board)
{
}

void WebView::addRoutes(HttpEndpoint &endpoint)
{
    for (const std::string &pattern : WebApi::routes()) {
        endpoint.addGet(pattern, [this](const HttpRequest &r) {
            WebReply w = api_.handle(WebRequest{r.path, r.query, r.authorization});
            return HttpReply{w.status, w.contentType, std::move(w.body), std::move(w.headers)};
        });
    }
}

std::string WebView::storeProblem()
{
    FleetCounts counts;
    std::string error;
    return reader_->counts(std::nullopt, counts, error) ? std::string()
                                                        : "the store cannot be read: " + error;
}

std::string webViewAddress(const std::string &host, uint16_t port)
{
    const bool wildcard = host == "0.0.0.0" || host == "::";
    const bool v6 = host.find(':') != std::string::npos && !wildcard;
    const std::string shown = wildcard ? "127.0.0.1" : v6 ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(port) + "/";
}

} // namespace lumo_collect
