#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <filesystem>

namespace merrowfax::ui {

// One window per data folder (so, per user): a second launch hands its
// arguments (a merrowfax:// link from the browser, say) to the window that
// runs, over a local socket, and exits.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // Most bytes of arguments taken from one hand-over.
    static constexpr qint64 kMaxHandOver = 64 * 1024;

    explicit SingleInstance(const std::filesystem::path& dataFolder, QObject* parent = nullptr);
    // The local socket's name for a data folder.
    static QString nameFor(const std::filesystem::path& dataFolder);

    // True when a running window took `arguments`: this launch should end.
    bool handOver(const QStringList& arguments);
    // Becomes the window others hand over to; false when it cannot.
    bool listen();

Q_SIGNALS:
    // Another launch's arguments (none for a plain second launch).
    void received(QStringList arguments);

private:
    QString name_;
    QLocalServer server_;
};

}  // namespace merrowfax::ui
