#include "transport/service_key.h"

#include <QNetworkReply>

#include <rapidjson/document.h>
#include <fstream>

#include "model/atomic_file.h"
#include "platform/timings.h"
#include "transport/service_address.h"
#include "wire/bounded_json.h"

namespace merrowfax {
namespace {

// {"key": base64, "alg": "ed25519"}, and nothing bigger.
constexpr std::size_t kMaxKeyAnswer = 1024;

std::optional<wire::VerifyKey> keyFromAnswer(std::string_view json) {
    rapidjson::Document document;
    if (!wire::parseBoundedObject(json, document, kMaxKeyAnswer)) return std::nullopt;
    const auto key = document.FindMember("key");
    const auto alg = document.FindMember("alg");
    if (key == document.MemberEnd() || !key->value.IsString() || alg == document.MemberEnd() ||
        !alg->value.IsString() || std::string_view(alg->value.GetString()) != "ed25519") {
        return std::nullopt;
    }
    return wire::decodeVerifyKey({key->value.GetString(), key->value.GetStringLength()});
}

std::optional<wire::VerifyKey> keyFromFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(128, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return wire::decodeVerifyKey(text);
}

}  // namespace

std::optional<wire::VerifyKey> pinnedServiceKey(const std::filesystem::path& file) {
    if (const QByteArray set = qgetenv("MERROWFAX_SERVICE_KEY"); !set.isEmpty()) {
        return wire::decodeVerifyKey(set.toStdString());
    }
    if (auto built = wire::decodeVerifyKey(MERROWFAX_SERVICE_KEY_DEFAULT)) return built;
    return keyFromFile(file);
}

void fetchServiceKey(QNetworkAccessManager& network, const QUrl& keyUrl,
                     const std::filesystem::path& file, std::function<void(wire::VerifyKey)> done) {
    QNetworkReply* reply = network.get(serviceRequest(keyUrl, timings().serviceAnswer));
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, file, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status != 200) return;
        const QByteArray body = reply->read(kMaxKeyAnswer + 1);
        if (body.size() > static_cast<qsizetype>(kMaxKeyAnswer)) return;
        const auto key = keyFromAnswer({body.constData(), static_cast<std::size_t>(body.size())});
        if (!key) return;
        replaceFileDurably(file, wire::encodeVerifyKey(*key) + "\n");
        done(*key);
    });
}

}  // namespace merrowfax
