#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "relay/log.h"
#include "relay/query.h"
#include "relay/services.h"

namespace merrowfax::relay {

namespace beast = boost::beast;
namespace http = beast::http;

// One client connection until it upgrades to a WebSocket: the computer
// lookup, the directory, the operator's /healthz and /metrics, and the upgrade
// itself. Bounded header and body, a deadline on every read and write,
// handlers on the stream's strand. Shutdown leaves these connections open
// until the process ends (a load balancer's kept-alive health check sees
// 503); from then on every answer closes its connection.
template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(Stream&& stream, Services& services, std::shared_ptr<AddressSlot> slot,
                std::string conn);
    ~HttpSession();

    void run();

private:
    using Request = http::request<http::string_body>;
    using Response = http::response<http::string_body>;

    void read();
    void onRead(beast::error_code ec, std::size_t);
    void refuse(http::status status, std::string_view why);
    void respond();
    void upgrade(Request request);
    void upgraded(beast::error_code ec, std::optional<Registration> registration,
                  std::string refusal);
    void answer(const Request& request);
    bool operatorAnswer(const std::string& path, Response& response);
    // Fills the response on the storage pool, then sends it from the strand.
    void answerLater(Response response, std::function<void(Response&)> fill);
    void send(Response response);
    void close();
    void log(Level level, std::string_view event, std::string_view key = {},
             std::string_view value = {});

    Stream stream_;
    typename Stream::executor_type executor_;  // kept: stream_ is moved away on upgrade
    Services& services_;
    std::shared_ptr<AddressSlot> slot_;
    std::string conn_;           // for log lines
    beast::flat_buffer buffer_;  // bounded in the constructor
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<Response> response_;
    bool upgraded_ = false;
};

extern template class HttpSession<beast::tcp_stream>;
extern template class HttpSession<beast::ssl_stream<beast::tcp_stream>>;

}  // namespace merrowfax::relay
