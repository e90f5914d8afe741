#include "payload.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace merrowfax::bench {
namespace {

constexpr std::string_view kBodyKey = R"("body":"t)";
constexpr std::size_t kTimeDigits = 20;
constexpr std::size_t kSeqDigits = 10;
constexpr std::size_t kMediaStamp = 12;  // 8 bytes of time, 4 of sequence

template <class T>
bool digitsAt(std::string_view text, std::size_t at, std::size_t count, T& out) {
    if (text.size() < at + count) return false;
    const char* first = text.data() + at;
    const auto [end, ec] = std::from_chars(first, first + count, out);
    return ec == std::errc{} && end == first + count;
}

}  // namespace

std::string textRecord(std::string_view to, std::string_view id, Stamp stamp, double sentUnix,
                       std::size_t size) {
    char head[64];
    std::snprintf(head, sizeof head, "t%020llus%010u",
                  static_cast<unsigned long long>(stamp.sentNs), stamp.seq);
    char sent[48];
    std::snprintf(sent, sizeof sent, "%.3f", sentUnix);
    std::string out;
    out.reserve(size);
    out.append(R"({"op":"text","id":")").append(id).append(R"(","to":")").append(to);
    out.append(R"(","body":")").append(head);
    const std::size_t tail = std::strlen(R"(","sent":)") + std::strlen(sent) + 1;
    if (out.size() + tail < size) out.append(size - out.size() - tail, 'x');
    out.append(R"(","sent":)").append(sent).push_back('}');
    return out;
}

std::optional<Stamp> textStamp(std::string_view record) {
    const auto at = record.find(kBodyKey);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t digits = at + kBodyKey.size();
    Stamp stamp;
    if (!digitsAt(record, digits, kTimeDigits, stamp.sentNs)) return std::nullopt;
    if (record.size() <= digits + kTimeDigits || record[digits + kTimeDigits] != 's')
        return std::nullopt;
    if (!digitsAt(record, digits + kTimeDigits + 1, kSeqDigits, stamp.seq)) return std::nullopt;
    return stamp;
}

std::string mediaFrame(std::uint8_t kind, std::string_view target, Stamp stamp,
                       std::size_t mediaSize) {
    std::string out;
    out.resize(2 + target.size() + std::max(mediaSize, kMediaStamp), '\x55');
    out[0] = static_cast<char>(kind);
    out[1] = static_cast<char>(target.size());
    std::memcpy(out.data() + 2, target.data(), target.size());
    char* media = out.data() + 2 + target.size();
    std::memcpy(media, &stamp.sentNs, 8);
    std::memcpy(media + 8, &stamp.seq, 4);
    return out;
}

std::optional<Stamp> mediaStamp(std::string_view frame) {
    if (frame.size() < 2) return std::nullopt;
    const auto targetSize = static_cast<unsigned char>(frame[1]);
    const std::size_t media = 2 + targetSize;
    if (targetSize == 0 || frame.size() < media + kMediaStamp) return std::nullopt;
    Stamp stamp;
    std::memcpy(&stamp.sentNs, frame.data() + media, 8);
    std::memcpy(&stamp.seq, frame.data() + media + 8, 4);
    return stamp;
}

std::string upperUuid(std::uint64_t high, std::uint64_t low) {
    // Version 4, variant 10xx, as any random UUID.
    high = (high & ~0xF000ull) | 0x4000ull;
    low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);
    char out[40];
    std::snprintf(out, sizeof out, "%08llX-%04llX-%04llX-%04llX-%012llX",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFFF),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return out;
}

}  // namespace merrowfax::bench
