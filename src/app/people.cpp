// Contacts and blocking: one contact per number, names kept short and the
// list in the reader's alphabetical order.

#include <QUrl>

#include <algorithm>
#include <utility>

#include "app/people.h"
#include "model/text_limits.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/timings.h"

namespace merrowfax {
namespace {

constexpr const char* kBadNumber = "Enter a Merrowfax number such as 0-1-234-5678.";
constexpr const char* kOwnNumber = "That is your number.";

void sortByName(std::vector<Contact>& contacts) {
    std::stable_sort(contacts.begin(), contacts.end(), [](const Contact& a, const Contact& b) {
        return unicode::compareCaseInsensitive(a.name, b.name) < 0;
    });
}

}  // namespace

People::People(PeopleHost& host, NetTransport& line, std::vector<Contact>& contacts,
               Directory& directory)
    : host_(host),
      contacts_(contacts),
      directory_(directory),
      book_(line, [this] { return bookEntries(); }) {}

std::optional<std::string> People::ownNumber() const {
    if (!host_.account()) return std::nullopt;
    return host_.account()->number.text();
}

std::string People::displayName(const std::string& number) const {
    if (const Contact* contact = contactWithNumber(number)) return contact->name;
    if (auto it = directory_.find(number); it != directory_.end() && !it->second.empty()) {
        return it->second;
    }
    return number;
}

bool People::isBlocked(const std::string& number) const {
    const Contact* contact = contactWithNumber(number);
    return contact && contact->blocked;
}

void People::replaceAll(std::vector<Contact> contacts, Directory directory) {
    contacts_ = std::move(contacts);
    directory_ = std::move(directory);
    Q_EMIT contactsChanged();
    Q_EMIT directoryChanged();
}

void People::clearAll() {
    contacts_.clear();
    directory_.clear();
    Q_EMIT contactsChanged();
    Q_EMIT directoryChanged();
}

const Contact* People::contactWithNumber(const std::string& number) const {
    for (const Contact& contact : contacts_) {
        if (contact.number == number) return &contact;
    }
    return nullptr;
}

void People::addContact(const std::string& name, const std::string& number) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return host_.setAlert(kBadNumber);
    const std::string text = parsed->text();
    if (ownNumber() == text) return host_.setAlert(kOwnNumber);
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    auto existing = std::find_if(contacts_.begin(), contacts_.end(),
                                 [&](const Contact& c) { return c.number == text; });
    if (existing != contacts_.end()) {
        existing->name = trimmedName;
    } else {
        contacts_.push_back(Contact{Uuid::random(), trimmedName, text, false});
    }
    changed();
}

void People::updateContact(const Uuid& id, const std::string& name, const std::string& number) {
    auto contact = std::find_if(contacts_.begin(), contacts_.end(),
                                [&](const Contact& c) { return c.id == id; });
    if (contact == contacts_.end()) return;
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return host_.setAlert(kBadNumber);
    const std::string text = parsed->text();
    if (ownNumber() == text) return host_.setAlert(kOwnNumber);
    const bool taken = std::any_of(contacts_.begin(), contacts_.end(), [&](const Contact& c) {
        return c.number == text && c.id != id;
    });
    if (taken) return host_.setAlert("That number is already a contact.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;
    contact->name = trimmedName;

    const std::string oldNumber = contact->number;
    contact->number = text;
    if (oldNumber != text) Q_EMIT numberChanged(oldNumber, text);
    changed();
}

void People::deleteContact(const Uuid& id) {
    auto removed = std::remove_if(contacts_.begin(), contacts_.end(),
                                  [&](const Contact& c) { return c.id == id; });
    if (removed == contacts_.end()) return;
    contacts_.erase(removed, contacts_.end());
    changed();
}

void People::setBlocked(const Uuid& id, bool blocked) {
    for (Contact& contact : contacts_) {
        if (contact.id != id) continue;
        if (contact.blocked == blocked) return;
        contact.blocked = blocked;
        changed();
        return;
    }
}

void People::blockNumber(const std::string& number, bool blocked) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed || ownNumber() == parsed->text()) return;
    const std::string text = parsed->text();
    if (const Contact* contact = contactWithNumber(text)) return setBlocked(contact->id, blocked);
    if (!blocked) return;
    // A stranger is kept as a blocked contact: the flag needs a contact to
    // live in, and the relay service learns it with the book.
    std::string name = cleanName(displayName(text));
    if (name.empty()) name = text;
    contacts_.push_back(Contact{Uuid::random(), std::move(name), text, true});
    changed();
}

bool People::autoAddContact(const std::string& name, const std::string& number) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return false;
    const std::string text = parsed->text();
    if (ownNumber() == text || contactWithNumber(text)) return false;
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return false;
    contacts_.push_back(Contact{Uuid::random(), trimmedName, text, false});
    sortByName(contacts_);
    Q_EMIT contactsChanged();
    return true;
}

void People::learnName(const std::string& number, const std::string& name) {
    auto& known = directory_[number];
    if (known == name) return;
    known = name;
    Q_EMIT directoryChanged();
}

std::string People::contactLink() const {
    const std::string number = ownNumber().value_or(std::string());
    const std::string name = host_.account() ? host_.account()->displayName : std::string();
    // Each value percent-encoded in full (all but the unreserved characters),
    // so "&", "+", "#" and non-ASCII letters in a name survive the trip.
    auto encoded = [](const std::string& value) {
        return QUrl::toPercentEncoding(QString::fromStdString(value)).toStdString();
    };
    const std::string link = "merrowfax://add?name=" + encoded(name) + "&number=" + encoded(number);
    if (!QUrl(QString::fromStdString(link), QUrl::StrictMode).isValid()) {
        return "merrowfax://add?number=" + number;
    }
    return link;
}

// A flood of strangers must not grow the contact list without bound: beyond
// the limit their texts are still kept, in their own chats.
bool People::welcomeStranger(const std::string& name, const std::string& number) {
    if (contactWithNumber(number)) return false;
    const auto current = std::chrono::steady_clock::now();
    const auto window = timings().strangerWindow;
    while (!strangersAdded_.empty() && current - strangersAdded_.front() >= window) {
        strangersAdded_.pop_front();
    }
    const auto limit = static_cast<std::size_t>(std::max(0, timings().strangerContacts));
    if (strangersAdded_.size() >= limit || !autoAddContact(name, number)) return false;
    strangersAdded_.push_back(current);
    book_.changed();
    return true;
}

void People::importBook(const std::vector<BookEntry>& entries) {
    bool added = false;
    for (const BookEntry& entry : entries) {
        if (!entry.number || !entry.name) continue;
        auto parsed = VirtualNumber::parse(*entry.number);
        if (!parsed || contactWithNumber(parsed->text())) continue;
        if (!autoAddContact(*entry.name, *entry.number)) continue;
        added = true;
        if (entry.blocked.value_or(false)) {
            for (Contact& contact : contacts_) {
                if (contact.number == parsed->text()) contact.blocked = true;
            }
        }
    }
    if (added) Q_EMIT contactsChanged();
    host_.save();
    book_.answered(entries, added);
}

void People::changed() {
    sortByName(contacts_);
    Q_EMIT contactsChanged();
    host_.save();
    book_.changed();
}

std::vector<BookEntry> People::bookEntries() const {
    std::vector<BookEntry> entries;
    entries.reserve(contacts_.size());
    for (const Contact& contact : contacts_) {
        entries.push_back(BookEntry{contact.name, contact.number, contact.blocked});
    }
    return entries;
}

}  // namespace merrowfax
