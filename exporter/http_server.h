// The HTTP side: GET and HEAD of /metrics and a short page at /, on Boost.Beast. Connections
// are served on the caller's io_context thread; the metrics are collected on a thread of the
// server's own, so that a slow scrape holds up no other request.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/thread_pool.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavrik::exporter {

// Bounds on what one request may take.
constexpr size_t kMaxHeaderBytes = 8 * 1024;
constexpr size_t kMaxBodyBytes = 1024;
// From the connection's start or the previous answer to the whole next request; a scraper
// sends its request at once, so only a stalled or idle client meets it.
constexpr int kRequestTimeoutSeconds = 5;
constexpr int kWriteTimeoutSeconds = 10;
// At this many open connections a new one displaces the one that has waited longest for its
// request; it is refused only when every connection is being answered.
constexpr int kMaxConnections = 32;

class HttpServer {
  public:
    // Called on the server's collecting thread, one call at a time; every request for the
    // metrics that arrives while a call runs is answered with that call's text.
    using MetricsSource = std::function<std::string()>;

    // Binds and listens; throws boost::system::system_error when it cannot. requestTimeout
    // is for the tests.
    HttpServer(
        boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
        MetricsSource metrics,
        std::chrono::milliseconds requestTimeout = std::chrono::seconds(kRequestTimeoutSeconds));
    // Waits for a collection in progress. The io_context must not be running any more.
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    boost::asio::ip::tcp::endpoint endpoint() const;
    // Open connections, and requests waiting for the collection in progress; any thread.
    int connections() const;
    int waitingForMetrics() const;

    struct State;  // shared with the open connections

  private:
    boost::asio::thread_pool collector_{1};
    std::shared_ptr<State> state_;
};

}  // namespace tavrik::exporter
