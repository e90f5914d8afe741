#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace merrowfax::cli {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

inline void writeString(JsonWriter& w, std::string_view s) {
    w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
}

// Builds one JSON object and prints it as one line on standard output,
// flushed at once: scripts read the lines as they come.
class JsonLine {
public:
    JsonLine() : writer_(buffer_) { writer_.StartObject(); }
    // The writer points into the buffer: the line stays where it was made.
    JsonLine(const JsonLine&) = delete;
    JsonLine& operator=(const JsonLine&) = delete;

    JsonLine& field(std::string_view key, std::string_view value) {
        key_(key);
        writeString(writer_, value);
        return *this;
    }
    JsonLine& field(std::string_view key, const char* value) {
        return field(key, std::string_view(value));
    }
    JsonLine& field(std::string_view key, std::int64_t value) {
        key_(key);
        writer_.Int64(value);
        return *this;
    }
    JsonLine& field(std::string_view key, bool value) {
        key_(key);
        writer_.Bool(value);
        return *this;
    }
    // A value that is JSON text already.
    JsonLine& raw(std::string_view key, std::string_view json) {
        key_(key);
        writer_.RawValue(json.data(), json.size(), rapidjson::kObjectType);
        return *this;
    }
    // A value written by `write(JsonWriter&)`.
    template <typename Write>
    JsonLine& with(std::string_view key, Write&& write) {
        key_(key);
        write(writer_);
        return *this;
    }

    std::string text() {
        writer_.EndObject();
        return std::string(buffer_.GetString(), buffer_.GetSize());
    }
    void print(std::FILE* out = stdout) {
        const std::string line = text();
        std::fwrite(line.data(), 1, line.size(), out);
        std::fputc('\n', out);
        std::fflush(out);
    }

private:
    void key_(std::string_view key) { writeString(writer_, key); }

    rapidjson::StringBuffer buffer_;
    JsonWriter writer_;
};

// Prints {"error": text} and returns the exit status for bad input.
inline int failWith(std::string_view text) {
    JsonLine().field("error", text).print();
    return 2;
}

}  // namespace merrowfax::cli
