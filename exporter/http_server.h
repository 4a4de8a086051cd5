// The HTTP side: GET /metrics and a short page at /, on Boost.Beast, one thread.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tavrik::exporter {

// Bounds on what one request may take.
constexpr size_t kMaxHeaderBytes = 8 * 1024;
constexpr size_t kMaxBodyBytes = 1024;
constexpr int kReadTimeoutSeconds = 10;
constexpr int kMaxConnections = 32;

class HttpServer {
  public:
    using MetricsSource = std::function<std::string()>;

    // Binds and listens; throws boost::system::system_error when it cannot.
    HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint,
               MetricsSource metrics);
    ~HttpServer();
    boost::asio::ip::tcp::endpoint endpoint() const;

    struct State;  // shared with the open connections

  private:
    std::shared_ptr<State> state_;
};

}  // namespace tavrik::exporter
