#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>

#include <optional>
#include <string>
#include <vector>

#include "app/app_model.h"
#include "transport/directory_lookup.h"

namespace merrowfax::ui {

// The Directory screen's state: one page of one letter, or of a search, with
// the cursors to walk forward and back. Answers to requests that were
// overtaken by a newer one are dropped.
class DirectoryPager : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QObject* model READ modelObject WRITE setModelObject NOTIFY modelChanged)
    Q_PROPERTY(QString query READ query WRITE setQuery NOTIFY queryChanged)
    Q_PROPERTY(bool searching READ searching NOTIFY queryChanged)
    Q_PROPERTY(QString letter READ letter NOTIFY letterChanged)
    Q_PROPERTY(QStringList letters READ letters CONSTANT)
    Q_PROPERTY(QVariantList people READ people NOTIFY pageChanged)
    Q_PROPERTY(QString note READ note NOTIFY pageChanged)
    Q_PROPERTY(bool more READ more NOTIFY pageChanged)
    Q_PROPERTY(bool hasEarlier READ hasEarlier NOTIFY cursorChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY pageChanged)
    Q_PROPERTY(QString emptyText READ emptyText NOTIFY emptyTextChanged)

public:
    // Reads the directory through the model's client once it has a model.
    explicit DirectoryPager(QObject* parent = nullptr);
    // Reads through `client` whatever the model; without one every request
    // ends without an answer.
    DirectoryPager(DirectoryLookup* client, QObject* parent);

    AppModel* model() const { return model_; }
    void setModel(AppModel* model);
    QObject* modelObject() const { return model_; }
    void setModelObject(QObject* model) { setModel(qobject_cast<AppModel*>(model)); }

    const QString& query() const { return query_; }
    // Starts the search once typing pauses; every change restarts the wait.
    void setQuery(const QString& query);
    // The trimmed query is not empty: search results rather than a letter.
    bool searching() const { return !query_.trimmed().isEmpty(); }
    const QString& letter() const { return letter_; }
    static QStringList letters();

    const std::vector<DirectoryEntry>& entries() const { return people_; }
    QVariantList people() const;
    const QString& note() const { return note_; }
    bool more() const { return more_; }
    bool hasEarlier() const { return !earlier_.empty(); }
    bool loading() const { return loading_; }
    QString statusText() const;
    QString emptyText() const;

    const std::string& pageAfter() const { return pageAfter_; }
    const std::string& nextAfter() const { return nextAfter_; }
    // Requests sent so far.
    int requestCount() const { return requestId_; }

    Q_INVOKABLE void chooseLetter(const QString& letter);
    Q_INVOKABLE void firstPage();
    Q_INVOKABLE void next();
    Q_INVOKABLE void previous();
    // The shown page again.
    Q_INVOKABLE void refresh() { load(); }
    Q_INVOKABLE void addContact(const QString& name, const QString& number);

Q_SIGNALS:
    void modelChanged();
    void queryChanged();
    void letterChanged();
    void pageChanged();  // an answer was applied
    void cursorChanged();
    void loadingChanged();
    void emptyTextChanged();

private:
    void load();
    void apply(DirectoryAnswer answer);
    void setLoading(bool loading);

    QPointer<DirectoryLookup> client_;
    bool ownClient_ = false;  // given at construction, not the model's
    QPointer<AppModel> model_;
    QTimer searchWait_;

    QString query_;
    QString letter_ = QStringLiteral("A");
    std::vector<DirectoryEntry> people_;
    QString note_;
    bool more_ = false;
    std::string pageAfter_;
    std::string nextAfter_;
    std::vector<std::string> earlier_;
    bool loading_ = false;
    int requestId_ = 0;
};

}  // namespace merrowfax::ui
