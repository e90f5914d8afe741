#include <QAction>
#include <QFont>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "platform/tray.h"

namespace merrowfax {
namespace {

// The application's icon with the unread count on a red badge.
QIcon badged(const QIcon& base, int count) {
    if (count <= 0) return base;
    constexpr int kSize = 64;
    QPixmap picture = base.pixmap(kSize, kSize);
    if (picture.isNull()) {
        picture = QPixmap(kSize, kSize);
        picture.fill(Qt::transparent);
    }
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QString label = count > 99 ? QStringLiteral("99+") : QString::number(count);
    const QRectF badge(kSize * 0.38, 0, kSize * 0.62, kSize * 0.5);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd3, 0x2f, 0x2f));
    painter.drawRoundedRect(badge, badge.height() / 2, badge.height() / 2);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(label.size() > 2 ? 18 : 24);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(badge, Qt::AlignCenter, label);
    painter.end();
    return QIcon(picture);
}

class SystemTray final : public Tray {
public:
    SystemTray()
        : base_(QIcon::fromTheme(QStringLiteral("merrowfax"),
                                 QIcon(QStringLiteral(":/merrowfax/merrowfax.svg")))) {
        icon_.setIcon(base_);
        icon_.setToolTip(QStringLiteral("Merrowfax"));
        QAction* open = menu_.addAction(QStringLiteral("Open Merrowfax"));
        menu_.addSeparator();
        QAction* quit = menu_.addAction(QStringLiteral("Quit"));
        QObject::connect(open, &QAction::triggered, [this] {
            if (onOpen) onOpen();
        });
        QObject::connect(quit, &QAction::triggered, [this] {
            if (onQuit) onQuit();
        });
        QObject::connect(&icon_, &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::Trigger && onOpen) onOpen();
                         });
        icon_.setContextMenu(&menu_);
    }

    bool available() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }
    void setShown(bool shown) override { icon_.setVisible(shown); }

    void setUnread(int count) override {
        if (count == unread_) return;
        unread_ = count;
        icon_.setIcon(badged(base_, count));
        icon_.setToolTip(count > 0 ? QStringLiteral("Merrowfax: %1 unread").arg(count)
                                   : QStringLiteral("Merrowfax"));
    }

private:
    QIcon base_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    int unread_ = 0;
};

}  // namespace

std::unique_ptr<Tray> makeSystemTray() {
    return std::make_unique<SystemTray>();
}

}  // namespace merrowfax
