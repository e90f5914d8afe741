#pragma once

#include <QPointF>
#include <QRectF>
#include <QSizeF>

#include <algorithm>
#include <optional>

namespace merrowfax::ui {

// Where a picture of `picture` size is drawn inside `area`: as large as it
// fits keeping its proportions, centred.
inline QRectF fittedRect(QSizeF picture, QSizeF area) {
    if (picture.width() <= 0 || picture.height() <= 0) return {};
    const double scale = std::min(area.width() / picture.width(), area.height() / picture.height());
    const QSizeF drawn = picture * scale;
    return {QPointF((area.width() - drawn.width()) / 2, (area.height() - drawn.height()) / 2),
            drawn};
}

// A location in the view as fractions of the drawn picture from its
// top-left corner; nothing outside the picture or without one.
inline std::optional<QPointF> normalisedPoint(QSizeF picture, QSizeF view, QPointF location) {
    const QRectF rect = fittedRect(picture, view);
    if (rect.width() <= 0 || rect.height() <= 0) return std::nullopt;
    if (location.x() < rect.left() || location.x() > rect.right() || location.y() < rect.top() ||
        location.y() > rect.bottom())
        return std::nullopt;
    return QPointF((location.x() - rect.left()) / rect.width(),
                   (location.y() - rect.top()) / rect.height());
}

}  // namespace merrowfax::ui
