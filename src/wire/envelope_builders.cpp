#include "wire/envelope_builders.h"

#include <utility>

#include "wire/base64.h"

namespace merrowfax::wire {
namespace {
Envelope withOp(std::string op) {
    Envelope e;
    e.op = std::move(op);
    return e;
}
}  // namespace

Envelope textEnvelope(const Uuid& id, std::string to, std::string body, Date sent) {
    Envelope e = withOp("text");
    e.id = id.text();
    e.text = std::move(body);
    e.sent = sent;
    e.to = std::move(to);
    return e;
}

Envelope deliveredEnvelope(const Uuid& id, std::string to) {
    Envelope e = withOp("delivered");
    e.id = id.text();
    e.to = std::move(to);
    return e;
}

Envelope deleteEnvelope(const Uuid& id, std::string to) {
    Envelope e = withOp("delete");
    e.id = id.text();
    e.to = std::move(to);
    return e;
}

Envelope callEnvelope(std::string signal, const Uuid& id, std::string to, bool video) {
    Envelope e = withOp("call");
    e.id = id.text();
    e.video = video;
    e.call = std::move(signal);
    e.to = std::move(to);
    return e;
}

Envelope audioEnvelope(std::string to, std::string audioBase64) {
    Envelope e = withOp("audio");
    e.to = std::move(to);
    e.payload = std::move(audioBase64);
    return e;
}

Envelope talkEnvelope(bool start, std::string to, std::string name) {
    Envelope e = withOp("talk");
    e.name = std::move(name);
    e.call = start ? "start" : "end";
    e.to = std::move(to);
    return e;
}

namespace {
Envelope fileEnvelope(const Uuid& id, std::string to, std::string fileName, std::string fileKind,
                      Date sent) {
    Envelope e = withOp("file");
    e.id = id.text();
    e.sent = sent;
    e.to = std::move(to);
    e.fileName = std::move(fileName);
    e.fileKind = std::move(fileKind);
    return e;
}
}  // namespace

Envelope netFileEnvelope(const Uuid& id, std::string to, std::string fileName, std::string fileKind,
                         Date sent, std::span<const std::byte> bytes) {
    Envelope e = fileEnvelope(id, std::move(to), std::move(fileName), std::move(fileKind), sent);
    e.payload = encodeBase64(bytes);
    return e;
}

Envelope lanFileEnvelope(const Uuid& id, std::string to, std::string fileName, std::string fileKind,
                         Date sent, std::string resource) {
    Envelope e = fileEnvelope(id, std::move(to), std::move(fileName), std::move(fileKind), sent);
    e.resource = std::move(resource);
    return e;
}

Envelope rosterEnvelope() {
    return withOp("roster");
}

Envelope linkHelloEnvelope(std::string linkCode, std::string device, std::string deviceName,
                           std::string computer) {
    Envelope e = withOp("link-hello");
    e.device = std::move(device);
    e.linkCode = std::move(linkCode);
    e.deviceName = std::move(deviceName);
    if (!computer.empty()) e.computer = std::move(computer);
    return e;
}

Envelope linkAccountEnvelope(std::string name, std::string country, std::int64_t cityCode,
                             std::int64_t subscriber, std::string device, std::string deviceName) {
    Envelope e = withOp("link-account");
    e.name = std::move(name);
    e.device = std::move(device);
    e.country = std::move(country);
    e.cityCode = cityCode;
    e.subscriber = subscriber;
    e.deviceName = std::move(deviceName);
    return e;
}

Envelope linkJoinedEnvelope(std::string device, std::string deviceName) {
    Envelope e = withOp("link-joined");
    e.device = std::move(device);
    e.deviceName = std::move(deviceName);
    return e;
}

Envelope unlinkEnvelope(std::string device) {
    Envelope e = withOp("unlink");
    e.device = std::move(device);
    return e;
}

Envelope requestEnvelope(std::string op) {
    return withOp(std::move(op));
}

void fillSender(Envelope& envelope, std::string_view device, std::string_view number,
                std::string_view name) {
    if (!envelope.device) envelope.device = std::string(device);
    if (!envelope.number) envelope.number = std::string(number);
    if (!envelope.name) envelope.name = std::string(name);
}

}  // namespace merrowfax::wire
