#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/relay_process.h"
#include "support/ws_client.h"

namespace merrowfax::testing {

inline RelayProcess::Options flags(std::vector<std::string> args) {
    RelayProcess::Options options;
    options.args = std::move(args);
    return options;
}

// One device's registration, as the application sends it.
struct Device {
    std::string number;
    std::string name = "Ann";
    std::string computer;
    std::string pin;
    std::string newPin;
    std::string kind;
    std::string device = "Mac";
    std::string lanCert;             // sent as "lancert" when not empty
    std::string from = "127.0.0.1";  // the client's loopback address

    std::string target() const {
        std::vector<std::pair<std::string, std::string>> items = {
            {"number", number}, {"name", name}, {"device", device}, {"computer", computer}};
        if (!pin.empty()) items.emplace_back("pin", pin);
        if (!newPin.empty()) items.emplace_back("newpin", newPin);
        if (!kind.empty()) items.emplace_back("kind", kind);
        if (!lanCert.empty()) items.emplace_back("lancert", lanCert);
        return liveTarget(items);
    }
};

inline Device makeDevice(std::string number, std::string name, std::string computer) {
    Device d;
    d.number = std::move(number);
    d.name = std::move(name);
    d.computer = std::move(computer);
    return d;
}

// Ann's device on `computer`, presenting these PINs.
inline Device on(std::string number, std::string computer, std::string pin = "",
                 std::string newPin = "") {
    Device d = makeDevice(std::move(number), "Ann", std::move(computer));
    d.pin = std::move(pin);
    d.newPin = std::move(newPin);
    return d;
}

// A registered connection: opened and answered with "pin".
struct Joined {
    std::unique_ptr<WsClient> client;
    bool hasPin = false;
    bool business = false;
    std::string error;
};

inline Joined join(const RelayProcess& relay, const Device& device) {
    Joined out;
    out.client =
        std::make_unique<WsClient>(relay.port(), device.target(), WsClient::Options{device.from});
    auto pin = out.client->waitFor("pin");
    if (!pin) {
        ADD_FAILURE() << "no pin record for " << device.number;
        return out;
    }
    out.hasPin = (*pin)["hasPin"].GetBool();
    out.business = (*pin)["business"].GetBool();
    if (pin->HasMember("error")) out.error = (*pin)["error"].GetString();
    return out;
}

// The "denied" reason and the close code, or "" when the service let it in.
struct Refusal {
    std::string reason;
    int code = 0;
};
inline Refusal refused(const RelayProcess& relay, const Device& device) {
    WsClient client(relay.port(), device.target(), WsClient::Options{device.from});
    Refusal out;
    while (auto m = client.receive()) {
        if (m->binary) continue;
        auto doc = parseJson(m->data);
        if (doc.IsObject() && doc["op"] == "denied") out.reason = doc["reason"].GetString();
        if (doc.IsObject() && doc["op"] == "pin") return {"", 0};
    }
    out.code = client.closeCode();
    return out;
}

// Sends a ping and returns the text records that arrived before its pong
// (binary frames are skipped; presence lists too unless asked for).
inline std::vector<std::string> drain(WsClient& client, bool keepPresence = false) {
    client.sendText(R"({"op":"ping"})");
    std::vector<std::string> seen;
    while (auto m = client.receive()) {
        if (m->binary) continue;
        if (m->data == R"({"op":"pong"})") return seen;
        if (!keepPresence && m->data.find(R"("op":"presence")") != std::string::npos) continue;
        seen.push_back(m->data);
    }
    ADD_FAILURE() << "no pong";
    return seen;
}

// A ping answered: the connection is still served.
inline bool pongs(WsClient& client) {
    client.sendText(R"({"op":"ping"})");
    return client.waitFor("pong").has_value();
}

// A text record to `to`, as the application sends it.
inline std::string textRecord(const std::string& to, const std::string& text) {
    return R"({"op":"text","id":"6F9619FF-8B86-D011-B42D-00CF4FC964FF","to":")" + to +
           R"(","text":")" + text + R"("})";
}

inline std::vector<std::string> presenceOf(const rapidjson::Document& record) {
    std::vector<std::string> out;
    for (const auto& n : record["numbers"].GetArray()) out.emplace_back(n.GetString());
    return out;
}

inline std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

// The resident memory of a process in MB (VmRSS), 0 when unknown.
inline long residentMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024;
    return 0;
}

// Memory bounds in tests leave room for AddressSanitizer's quarantine of
// freed blocks (256 MB by default), which stays resident.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr long kSanitizerSlackMb = 256;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr long kSanitizerSlackMb = 256;
#else
inline constexpr long kSanitizerSlackMb = 0;
#endif
#else
inline constexpr long kSanitizerSlackMb = 0;
#endif

inline std::string number(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "0-1-555-%04d", 1000 + i);
    return text;
}

}  // namespace merrowfax::testing
