// The fleet view on the collector's HTTP endpoint: a FleetReader of its own on the store
// and the WebApi's routes, for a collection run (with the run's figures) and for `serve`
// (the store alone).
#ifndef LUMO_COLLECT_WEBVIEW_H
#define LUMO_COLLECT_WEBVIEW_H

#include "FleetReader.h"
#include "HttpEndpoint.h"
#include "Metrics.h"
#include "Options.h"
#include "WebApi.h"

#include <memory>
#include <string>

namespace lumo_collect {

class WebView {
public:
    // Null with the reason (and the exit status) when the token file or the store cannot
    // be read.
    static std::unique_ptr<WebView> open(const Options &options, const MetricsBoard &board,
                                         int &status, std::string &error);
    // Registers the view's routes; before the endpoint starts.
    void addRoutes(HttpEndpoint &endpoint);
    // Empty while the store can be read, else why not (serve's health).
    std::string storeProblem();

private:
    WebView(std::unique_ptr<FleetReader> reader, WebConfig config, const MetricsBoard &board);

    std::unique_ptr<FleetReader> reader_;
    WebApi api_;
};

// The view's address for people: http://HOST:PORT/ (the host as bound, a wildcard
// address shown as this machine's name for a browser is not known: 127.0.0.1).
std::string webViewAddress(const std::string &host, uint16_t port);

} // namespace lumo_collect

#endif
