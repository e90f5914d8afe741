#include "ui/bridge/icons.h"

#include <QHash>
#include <QIcon>
#include <QStandardPaths>

namespace merrowfax::ui {

QString themeIcon(const QString& symbol) {
    static const QHash<QString, QString> kTable = {
        {QStringLiteral("bubble.left.and.bubble.right"),
         QStringLiteral("chat-message-new-symbolic")},
        {QStringLiteral("bubble.left"), QStringLiteral("chat-message-new-symbolic")},
        {QStringLiteral("phone"), QStringLiteral("call-start-symbolic")},
        {QStringLiteral("phone.down"), QStringLiteral("call-stop-symbolic")},
        {QStringLiteral("video"), QStringLiteral("camera-video-symbolic")},
        {QStringLiteral("display"), QStringLiteral("video-display-symbolic")},
        {QStringLiteral("display.badge.checkmark"), QStringLiteral("emblem-shared-symbolic")},
        {QStringLiteral("ellipsis.circle"), QStringLiteral("view-more-symbolic")},
        {QStringLiteral("person.2"), QStringLiteral("system-users-symbolic")},
        {QStringLiteral("person.crop.circle.badge.plus"), QStringLiteral("contact-new-symbolic")},
        {QStringLiteral("book.closed"), QStringLiteral("x-office-address-book-symbolic")},
        {QStringLiteral("gearshape"), QStringLiteral("emblem-system-symbolic")},
        {QStringLiteral("photo"), QStringLiteral("image-x-generic-symbolic")},
        {QStringLiteral("paperclip"), QStringLiteral("mail-attachment-symbolic")},
        {QStringLiteral("mic.fill"), QStringLiteral("audio-input-microphone-symbolic")},
        {QStringLiteral("stop.circle.fill"), QStringLiteral("media-playback-stop-symbolic")},
        {QStringLiteral("paperplane.fill"), QStringLiteral("document-send-symbolic")},
        {QStringLiteral("doc"), QStringLiteral("text-x-generic-symbolic")},
        {QStringLiteral("speaker.wave.2.fill"), QStringLiteral("audio-volume-high-symbolic")},
        {QStringLiteral("doc.on.doc"), QStringLiteral("edit-copy-symbolic")},
        {QStringLiteral("trash"), QStringLiteral("user-trash-symbolic")},
        {QStringLiteral("magnifyingglass"), QStringLiteral("edit-find-symbolic")},
        {QStringLiteral("chevron.left"), QStringLiteral("go-previous-symbolic")},
        {QStringLiteral("phone.fill"), QStringLiteral("call-start-symbolic")},
        {QStringLiteral("phone.down.fill"), QStringLiteral("call-stop-symbolic")},
        {QStringLiteral("video.fill"), QStringLiteral("camera-video-symbolic")},
        {QStringLiteral("mic"), QStringLiteral("audio-input-microphone-symbolic")},
        {QStringLiteral("mic.slash"), QStringLiteral("microphone-disabled-symbolic")},
        {QStringLiteral("arrow.triangle.2.circlepath.camera"),
         QStringLiteral("camera-switch-symbolic")},
        {QStringLiteral("qrcode"), QStringLiteral("view-grid-symbolic")},
        {QStringLiteral("plus"), QStringLiteral("list-add-symbolic")},
        {QStringLiteral("person.crop.circle"), QStringLiteral("avatar-default-symbolic")},
    };
    return kTable.value(symbol);
}

void useIconTheme() {
    QStringList paths = QIcon::themeSearchPaths();
    const QStringList system =
        QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                  QStandardPaths::LocateDirectory);
    for (const QString& folder : system) {
        if (!paths.contains(folder)) paths.append(folder);
    }
    QIcon::setThemeSearchPaths(paths);
    QIcon::setThemeName(QStringLiteral("Adwaita"));
}

}  // namespace merrowfax::ui
