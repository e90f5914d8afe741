#include "wire/number_statement.h"

#include <sodium.h>

#include <span>
#include <stdexcept>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "wire/base64.h"
#include "wire/bounded_json.h"

namespace merrowfax::wire {
namespace {

constexpr std::string_view kPrefix = "v1.";
constexpr int kUrlVariant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;

void ready() {
    static const bool ok = sodium_init() >= 0;
    if (!ok) throw std::runtime_error("libsodium failed to start");
}

std::string encodeUrl(const unsigned char* bytes, std::size_t size) {
    // sodium_base64_encoded_len counts the terminating NUL.
    std::string text(sodium_base64_encoded_len(size, kUrlVariant), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, kUrlVariant);
    text.pop_back();
    return text;
}

// Strict: only the URL alphabet, no padding, no stray bits in the last group.
std::optional<std::string> decodeUrl(std::string_view text, std::size_t maxBytes) {
    if (text.size() / 4 * 3 > maxBytes + 2) return std::nullopt;
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, nullptr, kUrlVariant) != 0 ||
        length > maxBytes)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

std::string signedBytes(std::string_view payload) {
    std::string message(kStatementContext);
    message.append(payload);
    return message;
}

std::string encodePayload(const NumberStatement& s) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("number");
    writer.String(s.number.data(), static_cast<rapidjson::SizeType>(s.number.size()));
    writer.Key("lancert");
    writer.String(s.lanCert.data(), static_cast<rapidjson::SizeType>(s.lanCert.size()));
    writer.Key("issued");
    writer.Int64(s.issued);
    writer.Key("expires");
    writer.Int64(s.expires);
    writer.EndObject();
    return {buffer.GetString(), buffer.GetSize()};
}

// Exactly the four members with their types; with four members and each name
// found, none is repeated.
std::optional<NumberStatement> decodePayload(std::string_view payload) {
    rapidjson::Document doc;
    if (!parseBoundedObject(payload, doc, kMaxStatementBytes) || doc.MemberCount() != 4)
        return std::nullopt;
    const auto number = doc.FindMember("number");
    const auto cert = doc.FindMember("lancert");
    const auto issued = doc.FindMember("issued");
    const auto expires = doc.FindMember("expires");
    const auto end = doc.MemberEnd();
    if (number == end || cert == end || issued == end || expires == end) return std::nullopt;
    if (!number->value.IsString() || !cert->value.IsString() || !issued->value.IsInt64() ||
        !expires->value.IsInt64())
        return std::nullopt;
    NumberStatement s;
    s.number.assign(number->value.GetString(), number->value.GetStringLength());
    s.lanCert.assign(cert->value.GetString(), cert->value.GetStringLength());
    s.issued = issued->value.GetInt64();
    s.expires = expires->value.GetInt64();
    if (!isCertFingerprint(s.lanCert)) return std::nullopt;
    return s;
}

// now in [issued - skew, expires), without overflow at the ends of int64.
bool validAt(const NumberStatement& s, std::int64_t now) {
    if (s.issued > s.expires || now >= s.expires) return false;
    if (now >= s.issued) return true;
    // issued > now: the difference fits in 64 unsigned bits.
    return static_cast<std::uint64_t>(s.issued) - static_cast<std::uint64_t>(now) <=
           static_cast<std::uint64_t>(kStatementSkewSeconds);
}

}  // namespace

std::pair<VerifyKey, SigningKey> newSigningKeys() {
    ready();
    std::pair<VerifyKey, SigningKey> keys;
    crypto_sign_keypair(keys.first.data(), keys.second.data());
    return keys;
}

std::string signStatement(const NumberStatement& statement, const SigningKey& key) {
    ready();
    const std::string payload = encodePayload(statement);
    const std::string message = signedBytes(payload);
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         key.data());
    return std::string(kPrefix) +
           encodeUrl(reinterpret_cast<const unsigned char*>(payload.data()), payload.size()) + "." +
           encodeUrl(signature.data(), signature.size());
}

std::optional<NumberStatement> verifyStatement(std::string_view text, const VerifyKey& key,
                                               std::int64_t now) {
    if (text.size() > kMaxStatementBytes || !text.starts_with(kPrefix)) return std::nullopt;
    text.remove_prefix(kPrefix.size());
    const auto dot = text.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    const auto payload = decodeUrl(text.substr(0, dot), kMaxStatementBytes);
    const auto signature = decodeUrl(text.substr(dot + 1), crypto_sign_BYTES);
    if (!payload || !signature || signature->size() != crypto_sign_BYTES) return std::nullopt;
    ready();
    const std::string message = signedBytes(*payload);
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature->data()),
                                    reinterpret_cast<const unsigned char*>(message.data()),
                                    message.size(), key.data()) != 0)
        return std::nullopt;
    auto statement = decodePayload(*payload);
    if (!statement || !validAt(*statement, now)) return std::nullopt;
    return statement;
}

bool isCertFingerprint(std::string_view text) {
    if (text.size() != 64) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string encodeVerifyKey(const VerifyKey& key) {
    return encodeBase64(std::as_bytes(std::span(key)));
}

std::optional<VerifyKey> decodeVerifyKey(std::string_view text) {
    const auto bytes = decodeBase64(text, VerifyKey{}.size());
    if (!bytes || bytes->size() != VerifyKey{}.size()) return std::nullopt;
    VerifyKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<unsigned char>((*bytes)[i]);
    return key;
}

}  // namespace merrowfax::wire
