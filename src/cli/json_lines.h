#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace merrowfax::cli {

// Builds one JSON object and prints it as one line on standard output.
class JsonLine {
public:
    JsonLine() : writer_(buffer_) { writer_.StartObject(); }

    JsonLine& field(std::string_view key, std::string_view value) {
        key_(key);
        writer_.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
        return *this;
    }
    JsonLine& field(std::string_view key, std::int64_t value) {
        key_(key);
        writer_.Int64(value);
        return *this;
    }

    void print(std::FILE* out = stdout) {
        writer_.EndObject();
        std::fwrite(buffer_.GetString(), 1, buffer_.GetSize(), out);
        std::fputc('\n', out);
        std::fflush(out);
    }

private:
    void key_(std::string_view key) {
        writer_.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    }

    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// Prints {"error": text} and returns the exit status for bad input.
inline int failWith(std::string_view text) {
    JsonLine().field("error", text).print();
    return 2;
}

}  // namespace merrowfax::cli
