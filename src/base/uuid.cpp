#include "base/uuid.h"

#include <uuid/uuid.h>

#include <cstring>

namespace merrowfax {

Uuid Uuid::random() {
    Uuid u;
    uuid_generate_random(u.bytes_.data());
    return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    // uuid_parse wants a NUL-terminated string of exactly 36 characters.
    if (text.size() != 36) return std::nullopt;
    char buffer[37];
    std::memcpy(buffer, text.data(), 36);
    buffer[36] = '\0';
    Uuid u;
    if (uuid_parse(buffer, u.bytes_.data()) != 0) return std::nullopt;
    return u;
}

std::string Uuid::text() const {
    char buffer[37];
    uuid_unparse_upper(bytes_.data(), buffer);
    return std::string(buffer, 36);
}

bool Uuid::isNil() const {
    return uuid_is_null(bytes_.data()) != 0;
}

}  // namespace merrowfax
