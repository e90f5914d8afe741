#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "cli/json_lines.h"

namespace merrowfax::cli {

// The one reply line of one command: {"reply": cmd, "tag": ..., "ok": ...}.
// Sent once; a reply dropped unsent goes out as a failure, so every command
// line gets its answer.
class Reply {
public:
    // `tag` is the command's tag as JSON text, when it had one.
    // `onSent` runs once the line is out.
    Reply(std::optional<std::string> command, std::optional<std::string> tag,
          std::function<void()> onSent = {})
        : command_(std::move(command)), tag_(std::move(tag)), onSent_(std::move(onSent)) {}
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    ~Reply() {
        if (!sent_) fail("The command ended without an answer.");
    }

    // Success; `fields` adds the result's members to the line.
    void succeed(const std::function<void(JsonLine&)>& fields = {}) {
        if (sent_) return;
        JsonLine line;
        header(line);
        line.field("ok", true);
        if (fields) fields(line);
        finish(line);
    }
    void fail(const std::string& error) {
        if (sent_) return;
        JsonLine line;
        header(line);
        line.field("ok", false).field("error", error);
        finish(line);
    }

private:
    void header(JsonLine& line) {
        if (command_) {
            line.field("reply", *command_);
        } else {
            line.with("reply", [](JsonWriter& w) { w.Null(); });
        }
        if (tag_) line.raw("tag", *tag_);
    }
    void finish(JsonLine& line) {
        sent_ = true;
        line.print();
        if (onSent_) onSent_();
    }

    std::optional<std::string> command_;
    std::optional<std::string> tag_;
    std::function<void()> onSent_;
    bool sent_ = false;
};

}  // namespace merrowfax::cli
