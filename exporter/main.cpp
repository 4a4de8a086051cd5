// tavrik_exporter: the attached Tavrik IO modules as Prometheus metrics.
#include <tavrik/tavrik.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/system/system_error.hpp>

#include <csignal>
#include <iostream>

#include "collector.h"
#include "http_server.h"
#include "options.h"
#include "textfile.h"

namespace {

using namespace tavrik::exporter;

int writeTextfile(const std::string& path) {
    Collector collector(false);
    std::string error;
    if (!replaceTextfile(path, renderMetrics(collector.scrape()), error)) {
        std::cerr << "tavrik_exporter: " << error << std::endl;
        return 1;
    }
    return 0;
}

int serve(const Options& options) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(options.address, ec);
    if (ec) {
        std::cerr << "tavrik_exporter: not an IP address: " << options.address << std::endl;
        return 1;
    }
    Collector collector(options.hold);
    boost::asio::io_context io;
    try {
        HttpServer server(io, {address, options.port},
                          [&collector]() { return renderMetrics(collector.scrape()); });
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
        const auto bound = server.endpoint();
        const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                         : bound.address().to_string();
        std::cout << "tavrik_exporter: listening on http://" << host << ':' << bound.port()
                  << "/metrics" << std::endl;
        io.run();
    } catch (const boost::system::system_error& e) {
        std::cerr << "tavrik_exporter: " << options.address << ':' << options.port << ": "
                  << e.code().message() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "tavrik_exporter: " << error << '\n' << kUsage << std::flush;
        return 1;
    }
    if (options.help) {
        std::cout << kUsage << std::flush;
        return 0;
    }
    if (options.version) {
        std::cout << "version: " << TAVRIK_VERSION << std::endl;
        return 0;
    }
    // A client that goes away mid-response must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (!options.textfile.empty())
        return writeTextfile(options.textfile);
    return serve(options);
}
