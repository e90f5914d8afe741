#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace merrowfax::testing {

using namespace std::chrono_literals;

// A blocking WebSocket client for tests (Boost.Beast underneath). Every wait
// has a timeout so a broken service fails a test instead of hanging it.
class WsClient {
public:
    struct Message {
        bool binary = false;
        std::string data;
    };

    struct Options {
        std::string from = "127.0.0.1";  // local address: any 127.x.y.z is a distinct client
        int receiveBuffer = 0;           // SO_RCVBUF in bytes; 0 leaves the system's
    };

    // Opens ws://host:port + target; throws when the upgrade fails.
    WsClient(unsigned short port, const std::string& target);
    WsClient(unsigned short port, const std::string& target, const Options& options);
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    void sendText(const std::string& text);
    void sendBinary(const std::string& bytes);
    // False when the write failed (the service closed the connection).
    bool trySendText(const std::string& text);

    // The next message, or nothing on timeout or when the connection ended.
    std::optional<Message> receive(std::chrono::milliseconds timeout = 3s);
    // The next text record whose "op" is `op`, skipping others.
    std::optional<rapidjson::Document> waitFor(const std::string& op,
                                               std::chrono::milliseconds timeout = 3s);

    // After the connection ended: the close code the service sent (0: none).
    int closeCode() const { return closeCode_; }
    // Reads until the connection ends; the close code or -1 on timeout.
    int waitClosed(std::chrono::milliseconds timeout = 3s);
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool closed_ = false;
    bool timedOut_ = false;
    int closeCode_ = 0;
};

// Query-string escaping for building targets.
std::string urlEncode(const std::string& text);

// {"number":...} style target for the live endpoint.
std::string liveTarget(const std::vector<std::pair<std::string, std::string>>& items);

struct HttpAnswer {
    int status = 0;
    std::string contentType;
    std::string body;
};
// One GET on a fresh connection; status 0 when the service did not answer.
HttpAnswer httpGet(unsigned short port, const std::string& target);
// Raw bytes on a fresh connection; what came back before the service closed.
std::string rawExchange(unsigned short port, const std::string& bytes,
                        std::chrono::milliseconds timeout = 2s);

rapidjson::Document parseJson(const std::string& text);

}  // namespace merrowfax::testing
