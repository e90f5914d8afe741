#pragma once

#include <QString>

#include <optional>
#include <string>

#include "base/uuid.h"

// Conversions every bridge object makes between QML's types and the model's.
namespace merrowfax::ui {

inline std::string std8(const QString& s) {
    return s.toStdString();
}

inline QString qt(const std::string& s) {
    return QString::fromStdString(s);
}

inline std::optional<Uuid> idOf(const QString& text) {
    return Uuid::parse(text.toStdString());
}

}  // namespace merrowfax::ui
