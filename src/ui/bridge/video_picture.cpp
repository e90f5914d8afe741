#include "ui/bridge/video_picture.h"

#include <QPainter>
#include <QPainterPath>
#include <QQuickWindow>
#include <QSGImageNode>

#include <algorithm>

#include "ui/desk/desk_geometry.h"

namespace merrowfax::ui {
namespace {

// The part of a picture of `picture` size that fills `item` when scaled
// evenly: the longer side is cropped, centred.
QRectF cropFor(QSizeF picture, QSizeF item) {
    const qreal scale = std::max(item.width() / picture.width(), item.height() / picture.height());
    const QSizeF shown(item.width() / scale, item.height() / scale);
    return {QPointF((picture.width() - shown.width()) / 2, (picture.height() - shown.height()) / 2),
            shown};
}

}  // namespace

VideoPicture::VideoPicture(QQuickItem* parent) : QQuickItem(parent) {
    setFlag(ItemHasContents, true);
    // A rounded picture is made for one size.
    const auto resized = [this] {
        if (radius_ > 0) fresh_ = true;
        update();
    };
    connect(this, &QQuickItem::widthChanged, this, resized);
    connect(this, &QQuickItem::heightChanged, this, resized);
    connect(this, &VideoPicture::radiusChanged, this, [this] {
        fresh_ = true;
        update();
    });
    connect(this, &VideoPicture::fitChanged, this, [this] { update(); });
}

void VideoPicture::setImage(const QImage& image) {
    if (image.isNull() && image_.isNull()) return;
    image_ = image;
    fresh_ = true;
    Q_EMIT imageChanged();
    update();
}

QSGNode* VideoPicture::updatePaintNode(QSGNode* old, UpdatePaintNodeData*) {
    auto* node = static_cast<QSGImageNode*>(old);
    if (image_.isNull() || width() <= 0 || height() <= 0) {
        delete node;
        return nullptr;
    }
    if (!node) {
        node = window()->createImageNode();
        node->setOwnsTexture(true);
        node->setFiltering(QSGTexture::Linear);
        fresh_ = true;
    }
    if (fresh_) {
        node->setTexture(window()->createTextureFromImage(radius_ > 0 ? rounded() : image_));
        fresh_ = false;
    }
    const QSizeF texture = node->texture()->textureSize();
    if (fit_) {
        node->setSourceRect(QRectF(QPointF(0, 0), texture));
        node->setRect(fittedRect(image_.size(), size()));
        return node;
    }
    node->setSourceRect(radius_ > 0 ? QRectF(QPointF(0, 0), texture)
                                    : cropFor(image_.size(), size()));
    node->setRect(boundingRect());
    return node;
}

QImage VideoPicture::rounded() const {
    const qreal ratio = window()->effectiveDevicePixelRatio();
    const QSize pixels = (size() * ratio).toSize();
    QImage out(pixels, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter painter(&out);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRectF all(QPointF(0, 0), QSizeF(pixels));
    painter.drawImage(all, image_, cropFor(image_.size(), all.size()));
    // Keep only what lies inside the rounded outline, with soft edges.
    painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
    QPainterPath outline;
    outline.addRoundedRect(all, radius_ * ratio, radius_ * ratio);
    painter.fillPath(outline, Qt::black);
    return out;
}

}  // namespace merrowfax::ui
