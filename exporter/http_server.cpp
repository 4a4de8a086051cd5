#include "http_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <list>
#include <optional>
#include <utility>
#include <vector>

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

class Session;

}  // namespace

// Everything but the two counters is used on the io_context's thread only.
struct HttpServer::State : std::enable_shared_from_this<HttpServer::State> {
    using Delivery = std::function<void(const std::string&)>;

    State(asio::io_context& io, const tcp::endpoint& endpoint, MetricsSource source,
          asio::thread_pool& pool, std::chrono::milliseconds timeout)
        : io(io),
          acceptor(io, endpoint),
          retry(io),
          metrics(std::move(source)),
          collector(pool),
          requestTimeout(timeout) {}

    void accept();
    void admit(tcp::socket socket);
    void collect(Delivery deliver);

    asio::io_context& io;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    MetricsSource metrics;
    asio::thread_pool& collector;
    const std::chrono::milliseconds requestTimeout;
    std::atomic<int> connections{0};
    // Connections waiting for a request, the longest waiting first.
    std::list<Session*> waitingForRequest;
    bool collecting = false;
    std::vector<Delivery> deliveries;  // of the collection in progress
    std::atomic<int> waitingForMetrics{0};
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer::State> server)
        : stream_(std::move(socket)), server_(std::move(server)) {
        ++server_->connections;
    }
    ~Session() {
        stopWaiting();
        release();
    }

    void read() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        stream_.expires_after(server_->requestTimeout);
        waiting_ = server_->waitingForRequest.insert(server_->waitingForRequest.end(), this);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
    }

    // Makes room for a newer connection: its slot is free at once, the read ends aborted.
    void displace() { close(); }

  private:
    void stopWaiting() {
        if (waiting_) {
            server_->waitingForRequest.erase(*waiting_);
            waiting_.reset();
        }
    }

    void release() {
        if (counted_) {
            counted_ = false;
            --server_->connections;
        }
    }

    void onRead(beast::error_code ec) {
        stopWaiting();
        if (!counted_ || ec == http::error::end_of_stream || ec == beast::error::timeout)
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
        head_ = req.method() == http::verb::head;
        if (path != "/" && path != "/metrics")
            return respond(http::status::not_found, "text/plain; charset=utf-8", "Not Found\n",
                           keepAlive);
        if (req.method() != http::verb::get && !head_)
            return respond(http::status::method_not_allowed, "text/plain; charset=utf-8",
                           "Method Not Allowed\n", keepAlive);
        if (path == "/")
            return respond(http::status::ok, "text/html; charset=utf-8", kIndexPage, keepAlive);
        // A HEAD is collected too: its Content-Length is that of the GET's body.
        server_->collect([self = shared_from_this(), keepAlive](const std::string& text) {
            self->respond(http::status::ok, kMetricsType, text, keepAlive);
        });
    }

    void respond(http::status status, const char* type, std::string body, bool keepAlive) {
        response_.emplace(status, 11);
        response_->set(http::field::server, "tavrik_exporter");
        response_->set(http::field::content_type, type);
        if (status == http::status::method_not_allowed)
            response_->set(http::field::allow, "GET, HEAD");
        response_->body() = std::move(body);
        response_->keep_alive(keepAlive);
        response_->prepare_payload();
        stream_.expires_after(std::chrono::seconds(kWriteTimeoutSeconds));
        auto done = [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
            if (ec || !keepAlive || !self->counted_)
                return self->close();
            self->read();
        };
        if (head_) {
            headResponse_.emplace(std::move(response_->base()));
            http::async_write(stream_, *headResponse_, std::move(done));
        } else {
            http::async_write(stream_, *response_, std::move(done));
        }
    }

    void close() {
        stopWaiting();
        release();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    std::shared_ptr<HttpServer::State> server_;
    bool counted_ = true;  // holds one of the server's connection slots
    std::optional<std::list<Session*>::iterator> waiting_;
    bool head_ = false;
    beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    std::optional<http::response<http::empty_body>> headResponse_;
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
        self->admit(std::move(socket));
        self->accept();
    });
}

void HttpServer::State::admit(tcp::socket socket) {
    // Idle and half-sent connections cannot crowd out a scraper: the one that has waited
    // longest for its request goes. Connections being answered are never cut off.
    if (connections >= kMaxConnections && !waitingForRequest.empty())
        waitingForRequest.front()->displace();
    if (connections >= kMaxConnections) {
        beast::error_code ignored;
        socket.close(ignored);  // refused rather than queued without bound
        return;
    }
    std::make_shared<Session>(std::move(socket), shared_from_this())->read();
}

void HttpServer::State::collect(Delivery deliver) {
    deliveries.push_back(std::move(deliver));
    ++waitingForMetrics;
    if (collecting)
        return;
    collecting = true;
    asio::post(collector, [self = shared_from_this()]() mutable {
        std::string text = self->metrics();
        // Handed back whole: this thread keeps no share of the state once it has posted.
        asio::io_context& io = self->io;
        asio::post(io, [self = std::move(self), text = std::move(text)]() {
            std::vector<Delivery> waiting = std::move(self->deliveries);
            self->deliveries.clear();
            self->collecting = false;
            self->waitingForMetrics -= static_cast<int>(waiting.size());
            for (auto& deliver : waiting)
                deliver(text);
        });
    });
}

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& endpoint, MetricsSource metrics,
                       std::chrono::milliseconds requestTimeout)
    : state_(
          std::make_shared<State>(io, endpoint, std::move(metrics), collector_, requestTimeout)) {
    state_->accept();
}

HttpServer::~HttpServer() {
    beast::error_code ignored;
    state_->acceptor.close(ignored);
    state_->retry.cancel();
    collector_.join();
}

tcp::endpoint HttpServer::endpoint() const {
    return state_->acceptor.local_endpoint();
}

int HttpServer::connections() const {
    return state_->connections;
}

int HttpServer::waitingForMetrics() const {
    return state_->waitingForMetrics;
}

}  // namespace tavrik::exporter
