#include "wire/bounded_json.h"

#include <cstdint>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "base/utf8.h"

namespace merrowfax::wire {
namespace {

using rapidjson::Document;
using rapidjson::SizeType;

constexpr int kMaxDepth = 32;

// Forwards parse events to a document while bounding the nesting.
class DepthLimit {
public:
    explicit DepthLimit(Document& document) : d_(document) {}
    bool Null() { return d_.Null(); }
    bool Bool(bool b) { return d_.Bool(b); }
    bool Int(int i) { return d_.Int(i); }
    bool Uint(unsigned u) { return d_.Uint(u); }
    bool Int64(std::int64_t i) { return d_.Int64(i); }
    bool Uint64(std::uint64_t u) { return d_.Uint64(u); }
    bool Double(double x) { return d_.Double(x); }
    bool RawNumber(const char* s, SizeType n, bool copy) { return d_.RawNumber(s, n, copy); }
    // The reader validates the raw bytes but not what an escape decodes to:
    // a lone surrogate ("\ude00") would become bytes that are not UTF-8.
    bool String(const char* s, SizeType n, bool copy) {
        return isValidUtf8({s, n}) && d_.String(s, n, copy);
    }
    bool Key(const char* s, SizeType n, bool copy) {
        return isValidUtf8({s, n}) && d_.Key(s, n, copy);
    }
    bool StartObject() { return ++depth_ <= kMaxDepth && d_.StartObject(); }
    bool StartArray() { return ++depth_ <= kMaxDepth && d_.StartArray(); }
    bool EndObject(SizeType n) { return --depth_, d_.EndObject(n); }
    bool EndArray(SizeType n) { return --depth_, d_.EndArray(n); }

private:
    Document& d_;
    int depth_ = 0;
};

}  // namespace

bool parseBoundedObject(std::string_view json, Document& document, std::size_t maxBytes) {
    if (json.size() > maxBytes) return false;
    constexpr unsigned kFlags =
        rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    rapidjson::MemoryStream stream(json.data(), json.size());
    bool ok = false;
    auto generate = [&](Document& handler) {
        DepthLimit limit(handler);
        rapidjson::Reader reader;
        ok = !reader.Parse<kFlags>(stream, limit).IsError();
        return ok;
    };
    document.Populate(generate);
    // The reader stops at a NUL byte as if the input ended there.
    return ok && stream.Tell() == json.size() && document.IsObject();
}

}  // namespace merrowfax::wire
