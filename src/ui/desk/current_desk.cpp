#include "ui/desk/current_desk.h"

#include "ui/bridge/bridge_text.h"
#include "ui/desk/desk_geometry.h"

namespace merrowfax::ui {

CurrentDesk::CurrentDesk(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    connect(&desk(), &DeskController::shareChanged, this, &CurrentDesk::shareChanged);
    connect(&desk(), &DeskController::watchChanged, this, &CurrentDesk::watchChanged);
    connect(&desk(), &DeskController::imageChanged, this, &CurrentDesk::imageChanged);
}

QString CurrentDesk::sharingTo() const {
    return qt(desk().deskShareTo().value_or(std::string()));
}

QString CurrentDesk::watchName() const {
    return qt(desk().deskWatchName());
}

QString CurrentDesk::caption() const {
    if (desk().deskCanControl()) return QStringLiteral("You can use this Mac.");
    const std::string& kind = desk().deskHostKind();
    if (kind == "Mac") return QStringLiteral("Watching. This Mac has not allowed control.");
    return QStringLiteral("Watching. This ") +
           (kind.empty() ? QStringLiteral("device") : qt(kind)) +
           QStringLiteral(" can be seen. It cannot be tapped or typed on from here.");
}

void CurrentDesk::toggleSharing(const QString& number) {
    if (sharingTo() == number) {
        desk().stopSharing();
    } else {
        desk().startSharing(std8(number));
    }
}

void CurrentDesk::gesture(const QString& action, double x, double y, double width, double height,
                          double dy, const QString& phase, int clicks) {
    const auto point =
        normalisedPoint(desk().deskImage().size(), QSizeF(width, height), QPointF(x, y));
    if (!point) return;
    desk().sendDeskEvent(std8(action), point->x(), point->y(), dy, std8(phase), clicks);
}

void CurrentDesk::send(const QString& text) {
    if (!text.isEmpty()) desk().sendDeskTyping(std8(text));
}

void CurrentDesk::submit(const QString& text) {
    desk().sendDeskTyping(std8(text + QLatin1Char('\n')));
}

}  // namespace merrowfax::ui
