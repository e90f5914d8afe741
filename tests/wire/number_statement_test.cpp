// Statements the relay signs: what verifies, and every way one that should
// not verify is turned away.
#include "wire/number_statement.h"

#include <sodium.h>

#include <limits>

#include <gtest/gtest.h>

namespace merrowfax::wire {
namespace {

const std::string kCert(64, 'c');
constexpr std::int64_t kIssued = 1'700'000'000;
constexpr std::int64_t kExpires = kIssued + 14 * 24 * 3600;
// What the relay signs for that number, certificate and time.
const std::string kPayload = R"({"number":"0-1-234-5678","lancert":")" + kCert +
                             R"(","issued":1700000000,"expires":1701209600})";

std::string url(std::string_view bytes) {
    constexpr int variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
    std::string text(sodium_base64_encoded_len(bytes.size(), variant), '\0');
    sodium_bin2base64(text.data(), text.size(),
                      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), variant);
    text.pop_back();
    return text;
}

std::string unurl(std::string_view text) {
    std::string bytes(text.size(), '\0');
    std::size_t length = 0;
    sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                      text.size(), nullptr, &length, nullptr,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    bytes.resize(length);
    return bytes;
}

// Any payload, signed the way the relay signs: made apart from the library,
// so the two agree on the bytes a client checks.
std::string forge(std::string_view payload, const SigningKey& key) {
    std::string message = "merrowfax number statement v1\n" + std::string(payload);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), key.data());
    return "v1." + url(payload) + "." +
           url({reinterpret_cast<const char*>(signature), sizeof signature});
}

class NumberStatementTest : public ::testing::Test {
protected:
    std::pair<VerifyKey, SigningKey> keys = newSigningKeys();
    NumberStatement statement{"0-1-234-5678", kCert, kIssued, kExpires};
    std::string good = signStatement(statement, keys.second);
    // kPayload with `from` replaced by `to`, signed with the right key.
    std::string forged(std::string_view from, std::string_view to) const {
        std::string text = kPayload;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return forge(text.replace(at, from.size(), to), keys.second);
    }
};

TEST_F(NumberStatementTest, RoundTripsAndNamesItsOwnNumberAndCertificate) {
    ASSERT_TRUE(good.starts_with("v1."));
    const auto dot = good.find('.', 3);
    EXPECT_EQ(unurl(good.substr(3, dot - 3)), kPayload);
    EXPECT_EQ(unurl(good.substr(dot + 1)).size(), 64u);

    const auto verified = verifyStatement(good, keys.first, kIssued);
    ASSERT_TRUE(verified);
    EXPECT_EQ(*verified, statement);  // the caller compares these with what the peer showed
    EXPECT_EQ(verifyStatement(good, keys.first, kIssued - 300), statement);  // clock skew
    EXPECT_EQ(verifyStatement(good, keys.first, kExpires - 1), statement);
    EXPECT_EQ(verifyStatement(forged("", ""), keys.first, kIssued), statement);
}

TEST_F(NumberStatementTest, RefusesWhatWasNotSignedAsIsOrIsNotValidNow) {
    auto flipped = [](std::string text, std::size_t at) {
        text[at] = text[at] == 'A' ? 'B' : 'A';
        return text;
    };
    const auto dot = good.find('.', 3);
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* what;
        std::string text;
        std::int64_t now = kIssued;
    } cases[] = {
        {"truncated", good.substr(0, good.size() - 1)},
        {"signature cut off", good.substr(0, dot + 1)},
        {"payload alone", good.substr(0, dot)},
        {"byte flipped in the payload", flipped(good, 10)},
        {"byte flipped in the signature", flipped(good, good.size() - 5)},
        {"signed by another key", signStatement(statement, newSigningKeys().second)},
        {"expired", good, kExpires},
        {"long expired", good, max},
        {"not yet valid", good, kIssued - 301},
        {"another version", "v2" + good.substr(2)},
        {"no version", good.substr(3)},
        {"a third dot", good + ".AAAA"},
        {"padding", good + "="},
        {"standard alphabet", good.substr(0, dot + 1) + "+" + good.substr(dot + 2)},
        {"1 MB long", good + std::string(1 << 20, 'A')},
        {"empty", ""},
        {"extra field", forged("}", R"(,"x":1})")},
        {"missing field", forged(R"(,"expires":1701209600)", "")},
        {"repeated field", forged(R"("number":"0-1-234-5678")",
                                  R"("number":"0-1-234-5678","number":"0-9-999-9999")")},
        {"number not a string", forged(R"("0-1-234-5678")", "1234")},
        {"uppercase certificate", forged(kCert, std::string(64, 'C'))},
        {"short certificate", forged(kCert, kCert.substr(1))},
        {"issued a string", forged("1700000000", R"("1700000000")")},
        {"issued a fraction", forged("1700000000", "1700000000.0")},
        {"expires a fraction", forged("1701209600", "1701209600.5")},
        {"expires beyond int64", forged("1701209600", "9223372036854775808")},
        {"issued after it expires",
         signStatement({"0-1-234-5678", kCert, kIssued + 100, kIssued + 50}, keys.second)},
        {"signed for the far future, checked at the least time",
         signStatement({"0-1-234-5678", kCert, max - 1, max}, keys.second), min},
        {"not an object", forge("[1,2,3,4]", keys.second)},
        {"trailing bytes", forged("}", "} x")},
    };
    for (const auto& c : cases) EXPECT_FALSE(verifyStatement(c.text, keys.first, c.now)) << c.what;

    // The widest range is still valid in its middle.
    EXPECT_TRUE(verifyStatement(signStatement({"0-1-234-5678", kCert, min, max}, keys.second),
                                keys.first, 0));
}

TEST(VerifyKeyTest, TravelsAsStandardBase64OfExactly32Bytes) {
    const auto [key, secret] = newSigningKeys();
    const std::string text = encodeVerifyKey(key);
    EXPECT_EQ(text.size(), 44u);
    EXPECT_EQ(decodeVerifyKey(text), key);
    EXPECT_FALSE(decodeVerifyKey(text.substr(0, 43)));  // padding missing
    EXPECT_FALSE(decodeVerifyKey("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="));  // 31 bytes
    EXPECT_FALSE(decodeVerifyKey(std::string(44, 'A') + "AAAA"));                   // 36 bytes
    EXPECT_FALSE(decodeVerifyKey("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA_="));  // URL alphabet
    EXPECT_FALSE(decodeVerifyKey(""));
}

}  // namespace
}  // namespace merrowfax::wire
