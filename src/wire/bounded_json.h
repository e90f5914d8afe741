#pragma once

#include <cstddef>
#include <string_view>

#include <rapidjson/document.h>

namespace merrowfax::wire {

// Parses untrusted text into `document`: true only for one JSON object of at
// most `maxBytes` bytes, nested at most 32 deep (a document frees its values
// recursively), whose strings and keys are valid UTF-8 after unescaping and
// with nothing after it.
bool parseBoundedObject(std::string_view json, rapidjson::Document& document, std::size_t maxBytes);

}  // namespace merrowfax::wire
