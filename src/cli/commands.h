#pragma once

#include <memory>
#include <string>

#include <rapidjson/document.h>

namespace merrowfax::cli {

class Reply;
class Session;

// Runs the command `name` with the arguments of the `command` object.
// `reply` answers it exactly once, now or when the result arrives.
void runCommand(Session& session, const std::string& name, const rapidjson::Value& command,
                std::shared_ptr<Reply> reply);

}  // namespace merrowfax::cli
