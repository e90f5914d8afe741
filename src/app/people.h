#pragma once

#include <QObject>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/book_sync.h"
#include "base/uuid.h"
#include "model/records.h"

namespace merrowfax {

class NetTransport;

// What the contacts ask of the rest of the program.
class PeopleHost {
public:
    virtual const std::optional<Account>& account() const = 0;
    virtual void setAlert(std::string text) = 0;
    virtual void save() = 0;

protected:
    ~PeopleHost() = default;
};

// The contacts (one per number, names kept short, in the reader's
// alphabetical order), blocking, the names learnt from the directory and
// from texts, and the book's copy on the relay service. The lists live in
// the stored state the model keeps; this is the only code that changes them.
class People : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<merrowfax::Contact> contacts READ contacts NOTIFY contactsChanged)
    Q_PROPERTY(merrowfax::Directory directory READ directory NOTIFY directoryChanged)

public:
    People(PeopleHost& host, NetTransport& line, std::vector<Contact>& contacts,
           Directory& directory);

    const std::vector<Contact>& contacts() const { return contacts_; }
    const Directory& directory() const { return directory_; }
    const Contact* contactWithNumber(const std::string& number) const;
    // The contact's name, else the directory's, else the number.
    std::string displayName(const std::string& number) const;
    bool isBlocked(const std::string& number) const;

    void addContact(const std::string& name, const std::string& number);
    void updateContact(const Uuid& id, const std::string& name, const std::string& number);
    void deleteContact(const Uuid& id);
    void setBlocked(const Uuid& id, bool blocked);
    // A number without a contact becomes a blocked contact named as shown now.
    void blockNumber(const std::string& number, bool blocked);
    std::string contactLink() const;
    void learnName(const std::string& number, const std::string& name);
    // A stranger who wrote becomes a contact while few did lately; whether
    // one was added (the caller saves).
    bool welcomeStranger(const std::string& name, const std::string& number);

    // The relay service's copy: asked for when the line opens, merged when
    // it comes, and a due upload sent before the program ends.
    void lineOpened() { book_.lineOpened(); }
    void importBook(const std::vector<BookEntry>& entries);
    void flushBook() { book_.flush(); }
    // Every contact and learnt name is gone (the device was reset).
    void clearAll();
    // A linked device's contacts and directory, in place of these.
    void replaceAll(std::vector<Contact> contacts, Directory directory);

Q_SIGNALS:
    void contactsChanged();
    void directoryChanged();
    // A contact's number changed: its chat goes along.
    void numberChanged(const std::string& from, const std::string& to);

private:
    std::optional<std::string> ownNumber() const;
    bool autoAddContact(const std::string& name, const std::string& number);
    std::vector<BookEntry> bookEntries() const;
    void changed();  // sorted, announced, saved, and the book goes up

    PeopleHost& host_;
    std::vector<Contact>& contacts_;
    Directory& directory_;
    BookSync book_;
    std::deque<std::chrono::steady_clock::time_point> strangersAdded_;  // within the window
};

}  // namespace merrowfax
