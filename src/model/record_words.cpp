#include <array>
#include <utility>

#include "model/record_json.h"

namespace merrowfax {
namespace {

template <typename E, std::size_t N>
using Words = std::array<std::pair<E, std::string_view>, N>;

constexpr Words<MessageStatus, 4> kStatuses{{
    {MessageStatus::waiting, "waiting"},
    {MessageStatus::sent, "sent"},
    {MessageStatus::delivered, "delivered"},
    {MessageStatus::deleted, "deleted"},
}};

constexpr Words<CallDirection, 3> kDirections{{
    {CallDirection::outgoing, "outgoing"},
    {CallDirection::incoming, "incoming"},
    {CallDirection::missed, "missed"},
}};

constexpr Words<CallPhase, 2> kPhases{{
    {CallPhase::dialing, "dialing"},
    {CallPhase::active, "active"},
}};

template <typename E, std::size_t N>
std::string_view wordIn(const Words<E, N>& words, E value) {
    for (const auto& [v, word] : words) {
        if (v == value) return word;
    }
    return {};
}

template <typename E, std::size_t N>
StoredWord<E> valueIn(const Words<E, N>& words, std::string word) {
    for (const auto& [v, known] : words) {
        if (known == word) return v;
    }
    return StoredWord<E>::unknown(std::move(word));
}

}  // namespace

std::string_view wordOf(MessageStatus status) {
    return wordIn(kStatuses, status);
}

std::string_view wordOf(CallDirection direction) {
    return wordIn(kDirections, direction);
}

std::string_view wordOf(CallPhase phase) {
    return wordIn(kPhases, phase);
}

StoredWord<MessageStatus> messageStatusOf(std::string word) {
    return valueIn(kStatuses, std::move(word));
}

StoredWord<CallDirection> callDirectionOf(std::string word) {
    return valueIn(kDirections, std::move(word));
}

}  // namespace merrowfax
