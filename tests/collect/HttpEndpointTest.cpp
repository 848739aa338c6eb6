// The collector's HTTP endpoint on a real socket: /healthz follows the health check, a
// registered route gets its captures and query, an unknown path is 404, and --http
// addresses parse or are refused with a reason.
#include "HttpEndpoint.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace lumo_collect {
namespace {

struct AddressCase {
    std::string text;
    bool ok;
    std::string host;
    uint16_t port;
};

class HttpAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(HttpAddressTest, Parses)
{
    const AddressCase &c = GetParam();
    std::string host;
    uint16_t port = 1;
    std::string error;
    ASSERT_EQ(parseHttpAddress(c.text, host, port, error), c.ok) << error;
    if (c.ok) {
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
    } else {
        EXPECT_NE(error.find("--http"), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, HttpAddressTest,
                         ::testing::Values(AddressCase{"127.0.0.1:8080", true, "127.0.0.1", 8080},
                                           AddressCase{":9000", true, "0.0.0.0", 9000},
                                           AddressCase{"[::1]:0", true, "::1", 0},
                                           AddressCase{"127.0.0.1:65536", false, "", 0},
                                           AddressCase{"127.0.0.1:-1", false, "", 0},
                                           AddressCase{"127.0.0.1:", false, "", 0},
                                           AddressCase{"8080", false, "", 0},
                                           AddressCase{"::1:80", false, "", 0}),
                         [](const ::testing::TestParamInfo<AddressCase> &info) {
                             return "case" + std::to_string(info.index);
                         });

TEST(HttpEndpointTest, HealthFollowsTheCheckAndRoutesAnswer)
{
    std::mutex mutex;
    std::string why;
    HttpEndpoint endpoint([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return why;
    });
    endpoint.addGet("/api/devices/([0-9-]+)", [](const HttpRequest &r) {
        const auto n = r.query.find("n");
        return HttpReply{200, "application/json",
                         r.matches.at(0) + "/" + (n == r.query.end() ? "-" : n->second)};
    });
    std::string error;
    ASSERT_TRUE(endpoint.start("127.0.0.1", 0, error)) << error;
    ASSERT_NE(endpoint.port(), 0);

    httplib::Client client("127.0.0.1", endpoint.port());
    auto ok = client.Get("/healthz");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->body, "ok\n");
    {
        std::lock_guard<std::mutex> lock(mutex);
        why = "storage is down: disk full";
    }
    auto down = client.Get("/healthz");
    ASSERT_TRUE(down);
    EXPECT_EQ(down->status, 503);
    EXPECT_EQ(down->body, "storage is down: disk full\n");

    auto route = client.Get("/api/devices/123-456-789?n=2");
    ASSERT_TRUE(route);
    EXPECT_EQ(route->status, 200);
    EXPECT_EQ(route->body, "123-456-789/2");
    EXPECT_EQ(route->get_header_value("Content-Type"), "application/json");
    auto missing = client.Get("/api/devices/x");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 404);
}

TEST(HttpEndpointTest, PortInUseIsRefused)
{
    HttpEndpoint first(nullptr);
    std::string error;
    ASSERT_TRUE(first.start("127.0.0.1", 0, error)) << error;
    HttpEndpoint second(nullptr);
    EXPECT_FALSE(second.start("127.0.0.1", first.port(), error));
    EXPECT_NE(error.find("cannot listen for HTTP on 127.0.0.1:" + std::to_string(first.port())),
              std::string::npos)
        << error;
}

} // namespace
} // namespace lumo_collect
