// Contacts and blocking: one contact per number, names kept short and the
// list in the reader's alphabetical order.

#include <QUrl>

#include <algorithm>
#include <tuple>
#include <utility>

#include "app/app_model.h"
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

const Contact* AppModel::contactWithNumber(const std::string& number) const {
    for (const Contact& contact : data_.contacts) {
        if (contact.number == number) return &contact;
    }
    return nullptr;
}

void AppModel::addContact(const std::string& name, const std::string& number) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return setAlert(kBadNumber);
    const std::string text = parsed->text();
    if (ownNumber() == text) return setAlert(kOwnNumber);
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;

    auto existing = std::find_if(data_.contacts.begin(), data_.contacts.end(),
                                 [&](const Contact& c) { return c.number == text; });
    if (existing != data_.contacts.end()) {
        existing->name = trimmedName;
    } else {
        data_.contacts.push_back(Contact{Uuid::random(), trimmedName, text, false});
    }
    sortByName(data_.contacts);
    Q_EMIT contactsChanged();
    save();
    bookChanged();
}

void AppModel::updateContact(const Uuid& id, const std::string& name, const std::string& number) {
    auto contact = std::find_if(data_.contacts.begin(), data_.contacts.end(),
                                [&](const Contact& c) { return c.id == id; });
    if (contact == data_.contacts.end()) return;
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return setAlert(kBadNumber);
    const std::string text = parsed->text();
    if (ownNumber() == text) return setAlert(kOwnNumber);
    const bool taken =
        std::any_of(data_.contacts.begin(), data_.contacts.end(),
                    [&](const Contact& c) { return c.number == text && c.id != id; });
    if (taken) return setAlert("That number is already a contact.");
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return;
    contact->name = trimmedName;

    const std::string oldNumber = contact->number;
    contact->number = text;
    if (oldNumber != text) moveConversation(oldNumber, text);
    sortByName(data_.contacts);
    Q_EMIT contactsChanged();
    save();
    bookChanged();
}

void AppModel::moveConversation(const std::string& from, const std::string& to) {
    auto old = std::find_if(data_.threads.begin(), data_.threads.end(),
                            [&](const ChatThread& t) { return t.id == from; });
    if (old == data_.threads.end()) return;
    ChatThread moved = std::move(*old);
    data_.threads.erase(old);

    if (ChatThread* target = thread(to)) {
        target->messages.insert(target->messages.end(),
                                std::make_move_iterator(moved.messages.begin()),
                                std::make_move_iterator(moved.messages.end()));
        std::stable_sort(target->messages.begin(), target->messages.end(),
                         [](const Message& a, const Message& b) { return a.sentAt < b.sentAt; });
        if (!target->messages.empty()) target->updatedAt = target->messages.back().sentAt;
    } else {
        moved.id = to;
        data_.threads.push_back(std::move(moved));
    }
    sortThreads();
    indexThreads();
    Q_EMIT threadsChanged();
}

void AppModel::deleteContact(const Uuid& id) {
    auto removed = std::remove_if(data_.contacts.begin(), data_.contacts.end(),
                                  [&](const Contact& c) { return c.id == id; });
    if (removed == data_.contacts.end()) return;
    data_.contacts.erase(removed, data_.contacts.end());
    Q_EMIT contactsChanged();
    save();
    bookChanged();
}

void AppModel::setBlocked(const Uuid& id, bool blocked) {
    for (Contact& contact : data_.contacts) {
        if (contact.id != id) continue;
        if (contact.blocked == blocked) return;
        contact.blocked = blocked;
        Q_EMIT contactsChanged();
        save();
        bookChanged();
        return;
    }
}

void AppModel::blockNumber(const std::string& number, bool blocked) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed || ownNumber() == parsed->text()) return;
    const std::string text = parsed->text();
    if (const Contact* contact = contactWithNumber(text)) return setBlocked(contact->id, blocked);
    if (!blocked) return;
    // A stranger is kept as a blocked contact: the flag needs a contact to
    // live in, and the relay service learns it with the book.
    std::string name = cleanName(displayName(text));
    if (name.empty()) name = text;
    data_.contacts.push_back(Contact{Uuid::random(), std::move(name), text, true});
    sortByName(data_.contacts);
    Q_EMIT contactsChanged();
    save();
    bookChanged();
}

bool AppModel::autoAddContact(const std::string& name, const std::string& number) {
    auto parsed = VirtualNumber::parse(number);
    if (!parsed) return false;
    const std::string text = parsed->text();
    if (ownNumber() == text || contactWithNumber(text)) return false;
    const std::string trimmedName = cleanName(name);
    if (trimmedName.empty()) return false;
    data_.contacts.push_back(Contact{Uuid::random(), trimmedName, text, false});
    sortByName(data_.contacts);
    Q_EMIT contactsChanged();
    return true;
}

void AppModel::learnName(const std::string& number, const std::string& name) {
    auto& known = data_.directory[number];
    if (known == name) return;
    known = name;
    Q_EMIT directoryChanged();
}

std::string AppModel::contactLink() const {
    const std::string number = ownNumber().value_or(std::string());
    const std::string name = data_.account ? data_.account->displayName : std::string();
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

bool AppModel::strangerMayBeAdded() {
    const auto current = std::chrono::steady_clock::now();
    const auto window = timings().strangerWindow;
    while (!strangersAdded_.empty() && current - strangersAdded_.front() >= window) {
        strangersAdded_.pop_front();
    }
    return strangersAdded_.size() <
           static_cast<std::size_t>(std::max(0, timings().strangerContacts));
}

void AppModel::bookChanged() {
    // Not restarted by later changes: a steady stream still uploads once per
    // interval.
    if (bookTimer_.isActive()) return;
    bookTimer_.start(timings().bookUpload);
}

void AppModel::flushBook() {
    if (!bookTimer_.isActive()) return;
    uploadBook();
}

void AppModel::uploadBook() {
    bookTimer_.stop();
    components_.line->requestBook(bookEntries());
}

std::vector<BookEntry> AppModel::bookEntries() const {
    std::vector<BookEntry> entries;
    entries.reserve(data_.contacts.size());
    for (const Contact& contact : data_.contacts) {
        entries.push_back(BookEntry{contact.name, contact.number, contact.blocked});
    }
    return entries;
}

namespace {

// Entries as the service keeps them, in one order; malformed ones drop out.
std::vector<std::tuple<std::string, std::string, bool>> normalized(
    const std::vector<BookEntry>& entries) {
    std::vector<std::tuple<std::string, std::string, bool>> out;
    for (const BookEntry& e : entries) {
        if (!e.number || !e.name) continue;
        out.emplace_back(*e.number, *e.name, e.blocked.value_or(false));
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool sameBook(const std::vector<BookEntry>& a, const std::vector<BookEntry>& b) {
    return normalized(a) == normalized(b);
}

}  // namespace

void AppModel::importBook(const std::vector<BookEntry>& entries) {
    bool added = false;
    for (const BookEntry& entry : entries) {
        if (!entry.number || !entry.name) continue;
        auto parsed = VirtualNumber::parse(*entry.number);
        if (!parsed || contactWithNumber(parsed->text())) continue;
        if (!autoAddContact(*entry.name, *entry.number)) continue;
        added = true;
        if (entry.blocked.value_or(false)) {
            for (Contact& contact : data_.contacts) {
                if (contact.number == parsed->text()) contact.blocked = true;
            }
        }
    }
    if (added) Q_EMIT contactsChanged();
    save();
    if (std::exchange(mergingBook_, false)) {
        // The first answer after the line opened: contacts made while it was
        // closed (or before this fix of the book) are not in the service's
        // copy yet. Equal books need no upload.
        if (!sameBook(entries, bookEntries())) uploadBook();
    } else if (added) {
        bookChanged();
    }
}

}  // namespace merrowfax
