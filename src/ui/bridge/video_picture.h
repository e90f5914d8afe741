#pragma once

#include <QtQml/qqmlregistration.h>
#include <QImage>
#include <QQuickItem>
#include <QVariant>

namespace merrowfax::ui {

// Shows a picture that changes many times a second (call video), filling
// the item and cropped to keep its proportions. Each new picture is one
// texture upload and the GPU scales it: cheaper than painting every frame
// into a full-window buffer (QQuickPaintedItem) or going through an image
// provider's URL and cache.
class VideoPicture : public QQuickItem {
    Q_OBJECT
    QML_ELEMENT
    // A QImage; declared as a variant, the one way QML carries a picture.
    Q_PROPERTY(QVariant image READ imageValue WRITE setImageValue NOTIFY imageChanged)
    Q_PROPERTY(bool empty READ empty NOTIFY imageChanged)
    // Rounded corners: the picture is then cut to the item's size on the
    // CPU, which suits only small items such as the own preview.
    Q_PROPERTY(qreal radius MEMBER radius_ NOTIFY radiusChanged)
    // The whole picture, as large as it fits (a shared screen), instead of
    // filling the item.
    Q_PROPERTY(bool fit MEMBER fit_ NOTIFY fitChanged)

public:
    explicit VideoPicture(QQuickItem* parent = nullptr);

    const QImage& image() const { return image_; }
    void setImage(const QImage& image);
    QVariant imageValue() const { return QVariant::fromValue(image_); }
    void setImageValue(const QVariant& value) { setImage(value.value<QImage>()); }
    bool empty() const { return image_.isNull(); }

Q_SIGNALS:
    void imageChanged();
    void radiusChanged();
    void fitChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData* data) override;

private:
    QImage image_;
    QImage rounded() const;

    bool fresh_ = false;  // not yet uploaded
    qreal radius_ = 0;
    bool fit_ = false;
};

}  // namespace merrowfax::ui
