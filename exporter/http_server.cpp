#include "http_server.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <optional>

namespace tavrik::exporter {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

const char kIndexPage[] =
    "<!DOCTYPE html>\n<html><head><title>Tavrik IO exporter</title></head>\n"
    "<body><h1>Tavrik IO exporter</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";
const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

struct HttpServer::State : std::enable_shared_from_this<HttpServer::State> {
    State(asio::io_context& io, const tcp::endpoint& endpoint, MetricsSource source)
        : acceptor(io, endpoint), retry(io), metrics(std::move(source)) {}

    void accept();

    tcp::acceptor acceptor;
    asio::steady_timer retry;
    MetricsSource metrics;
    int connections = 0;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer::State> server)
        : stream_(std::move(socket)), server_(std::move(server)) {
        ++server_->connections;
    }
    ~Session() { --server_->connections; }

    void read() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        stream_.expires_after(std::chrono::seconds(kReadTimeoutSeconds));
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

  private:
    void onRead(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout)
            return close();
        if (ec) {
            // Only a request that broke the HTTP rules or the bounds gets an answer; a
            // broken connection is just closed.
            if (ec.category() != http::make_error_code(http::error::bad_method).category())
                return close();
            http::status status = http::status::bad_request;
            if (ec == http::error::header_limit)
                status = http::status::request_header_fields_too_large;
            else if (ec == http::error::body_limit)
                status = http::status::payload_too_large;
            return respond(status, "text/plain; charset=utf-8",
                           std::string(http::obsolete_reason(status)) + "\n", false);
        }
        const auto& req = parser_->get();
        std::string path(req.target());
        path = path.substr(0, path.find('?'));
        const bool keepAlive = req.keep_alive();
        if (path != "/" && path != "/metrics")
            return respond(http::status::not_found, "text/plain; charset=utf-8", "Not Found\n",
                           keepAlive);
        if (req.method() != http::verb::get)
            return respond(http::status::method_not_allowed, "text/plain; charset=utf-8",
                           "Method Not Allowed\n", keepAlive);
        if (path == "/")
            return respond(http::status::ok, "text/html; charset=utf-8", kIndexPage, keepAlive);
        respond(http::status::ok, kMetricsType, server_->metrics(), keepAlive);
    }

    void respond(http::status status, const char* type, std::string body, bool keepAlive) {
        response_.emplace(status, 11);
        response_->set(http::field::server, "tavrik_exporter");
        response_->set(http::field::content_type, type);
        if (status == http::status::method_not_allowed)
            response_->set(http::field::allow, "GET");
        response_->body() = std::move(body);
        response_->keep_alive(keepAlive);
        response_->prepare_payload();
        stream_.expires_after(std::chrono::seconds(kReadTimeoutSeconds));
        http::async_write(stream_, *response_,
                          [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
                              if (ec || !keepAlive)
                                  return self->close();
                              self->read();
                          });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    std::shared_ptr<HttpServer::State> server_;
    beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
};

}  // namespace

void HttpServer::State::accept() {
    acceptor.async_accept([self = shared_from_this()](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, say: wait a little instead of spinning on the error.
            self->retry.expires_after(std::chrono::milliseconds(100));
            self->retry.async_wait([self](beast::error_code waited) {
                if (!waited)
                    self->accept();
            });
            return;
        }
        if (self->connections >= kMaxConnections) {
            beast::error_code ignored;
            socket.close(ignored);  // refused rather than queued without bound
        } else {
            std::make_shared<Session>(std::move(socket), self)->read();
        }
        self->accept();
    });
}

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& endpoint, MetricsSource metrics)
    : state_(std::make_shared<State>(io, endpoint, std::move(metrics))) {
    state_->accept();
}

HttpServer::~HttpServer() {
    beast::error_code ignored;
    state_->acceptor.close(ignored);
    state_->retry.cancel();
}

tcp::endpoint HttpServer::endpoint() const {
    return state_->acceptor.local_endpoint();
}

}  // namespace tavrik::exporter
