// The HTTP server on loopback with metrics from the test: slow collections, crowds of idle
// connections, HEAD. Every wait is bounded; a request that gets no answer reads as "".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http_server.h"

namespace tavrik::exporter {
namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 20s;  // for "answers at all", far above any real answer

// A metrics source that can be held inside its call until the test lets it go.
class Gate {
  public:
    std::string collect() {
        std::unique_lock<std::mutex> lock(mutex_);
        const int call = ++calls_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        return "collection " + std::to_string(call) + "\n";
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitForCalls(int calls) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return calls_ >= calls; });
    }
    int calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    bool open_ = false;
};

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A plain blocking client socket whose reads give up after the bound.
class Client {
  public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        timeval limit{std::chrono::duration_cast<std::chrono::seconds>(kBound).count(), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(data.size());
    }
    // Everything up to the server's close; "" on a reset or when the bound passes first.
    std::string readToClose() {
        std::string reply;
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got == 0)
                return reply;
            if (got < 0)
                return "";
            reply.append(chunk, static_cast<size_t>(got));
        }
    }

  private:
    int fd_;
    bool connected_ = false;
};

std::string request(const std::string& method, const std::string& path) {
    return method + " " + path + " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n";
}

std::string fetch(uint16_t port, const std::string& method, const std::string& path) {
    Client client(port);
    if (!client.connected() || !client.send(request(method, path)))
        return "";
    return client.readToClose();
}

std::string headOf(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n\r\n") + 4);
}

std::string bodyOf(const std::string& reply) {
    const size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

class HttpServerTest : public ::testing::Test {
  protected:
    void start(HttpServer::MetricsSource source, std::chrono::milliseconds requestTimeout =
                                                     std::chrono::seconds(kRequestTimeoutSeconds)) {
        server = std::make_unique<HttpServer>(
            io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0),
            std::move(source), requestTimeout);
        port = server->endpoint().port();
        runner = std::thread([this] { io.run(); });
    }
    void TearDown() override {
        gate.open();  // a collection still held would keep the server from ending
        io.stop();
        if (runner.joinable())
            runner.join();
        server.reset();
    }

    Gate gate;
    boost::asio::io_context io;
    std::unique_ptr<HttpServer> server;
    std::thread runner;
    uint16_t port = 0;
};

TEST_F(HttpServerTest, ASlowCollectionHoldsUpNoOtherRequestAndIsShared) {
    start([this] { return gate.collect(); });
    auto first = std::async(std::launch::async, [this] { return fetch(port, "GET", "/metrics"); });
    ASSERT_TRUE(gate.waitForCalls(1));
    auto second =
        std::async(std::launch::async, [this] { return fetch(port, "GET", "/metrics?x=1"); });
    ASSERT_TRUE(eventually([this] { return server->waitingForMetrics() == 2; }));

    // The collection is still held: the page and the errors answer regardless.
    const std::string page = fetch(port, "GET", "/");
    EXPECT_EQ(page.rfind("HTTP/1.1 200 ", 0), 0u) << page;
    EXPECT_NE(page.find("href=\"/metrics\""), std::string::npos);
    EXPECT_EQ(fetch(port, "GET", "/nothing").rfind("HTTP/1.1 404 ", 0), 0u);

    gate.open();
    for (auto* reply : {&first, &second}) {
        ASSERT_EQ(reply->wait_for(kBound), std::future_status::ready);
        EXPECT_EQ(bodyOf(reply->get()), "collection 1\n");
    }
    EXPECT_EQ(gate.calls(), 1);
    EXPECT_EQ(server->waitingForMetrics(), 0);

    // A later scrape is a collection of its own.
    EXPECT_EQ(bodyOf(fetch(port, "GET", "/metrics")), "collection 2\n");
}

TEST_F(HttpServerTest, ScrapesAnswerWhileIdleConnectionsFillTheCap) {
    gate.open();
    start([this] { return gate.collect(); });
    // Silent ones, and ones that never finish their request.
    std::vector<std::unique_ptr<Client>> crowd;
    for (int i = 0; i < kMaxConnections; ++i) {
        crowd.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(crowd.back()->connected());
        if (i % 2 == 1) {
            ASSERT_TRUE(crowd.back()->send("GET /metrics HTTP/1.1\r\nHost: x"));
        }
    }
    ASSERT_TRUE(eventually([this] { return server->connections() == kMaxConnections; }));
    for (int scrape = 1; scrape <= 3; ++scrape) {
        const std::string reply = fetch(port, "GET", "/metrics");
        EXPECT_EQ(reply.rfind("HTTP/1.1 200 ", 0), 0u) << reply;
        EXPECT_EQ(bodyOf(reply), "collection " + std::to_string(scrape) + "\n");
    }
    EXPECT_LE(server->connections(), kMaxConnections);
}

TEST_F(HttpServerTest, AnIncompleteOrIdleConnectionIsClosedAfterTheRequestTimeout) {
    gate.open();
    start([this] { return gate.collect(); }, 100ms);
    Client half(port);
    ASSERT_TRUE(half.send("GET /metrics HTTP/1.1\r\nHost: x"));
    EXPECT_EQ(half.readToClose(), "");  // closed without an answer, well before the bound

    // Kept alive after an answer, then silent.
    Client idle(port);
    ASSERT_TRUE(idle.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    const std::string reply = idle.readToClose();
    EXPECT_EQ(reply.rfind("HTTP/1.1 200 ", 0), 0u) << reply;
    EXPECT_TRUE(eventually([this] { return server->connections() == 0; }));
}

TEST_F(HttpServerTest, HeadHasTheHeadersOfGetAndNoBody) {
    gate.open();
    start([] { return std::string("tavrik_up 1\n"); });
    for (const char* path : {"/", "/metrics", "/nothing"}) {
        const std::string get = fetch(port, "GET", path);
        const std::string head = fetch(port, "HEAD", path);
        ASSERT_NE(get.find("\r\n\r\n"), std::string::npos) << path;
        EXPECT_FALSE(bodyOf(get).empty()) << path;
        EXPECT_EQ(head, headOf(get)) << path;
        EXPECT_NE(head.find("Content-Length: " + std::to_string(bodyOf(get).size()) + "\r\n"),
                  std::string::npos)
            << head;
    }
    const std::string refused = fetch(port, "POST", "/metrics");
    EXPECT_EQ(refused.rfind("HTTP/1.1 405 ", 0), 0u) << refused;
    EXPECT_NE(refused.find("Allow: GET, HEAD\r\n"), std::string::npos) << refused;
}

}  // namespace
}  // namespace tavrik::exporter
