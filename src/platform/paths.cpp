#include "platform/paths.h"

#include <QStandardPaths>
#include <QString>

namespace merrowfax {

std::filesystem::path dataFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return std::filesystem::path(base.toStdString()) / "Merrowfax";
}

std::filesystem::path configFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return std::filesystem::path(base.toStdString()) / "Merrowfax";
}

}  // namespace merrowfax
