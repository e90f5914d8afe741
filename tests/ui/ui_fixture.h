#pragma once

#include <QBuffer>
#include <QImage>
#include <QPainter>

#include <memory>

#include "app/app_model.h"
#include "app/fakes.h"
#include "model/store.h"

// Seeded data and fake devices for the window's tests and screenshots.
namespace merrowfax::ui {

inline constexpr const char* kOwn = "0-1-234-5678";
inline constexpr const char* kAlice = "44-1-555-0001";
inline constexpr const char* kBob = "1-1-222-2222";

struct UiParts {
    AppComponents components;
    testing::FakeLine* line = nullptr;
    testing::FakeMedia* media = nullptr;
    testing::RecordingWalkie* walkie = nullptr;
};

// Components that reach nothing; the line and the media engine are fakes a
// test can answer for.
inline UiParts testParts() {
    UiParts parts;
    parts.line = testing::install<testing::FakeLine>(parts.components.line);
    parts.media = testing::install<testing::FakeMedia>(parts.components.media);
    parts.walkie = testing::install<testing::RecordingWalkie>(parts.components.walkie);
    parts.components.computerIdentity = "mac-SCREENS";
    return parts;
}

inline Message message(const char* sender, const std::string& text, Date at,
                       MessageStatus status = MessageStatus::delivered) {
    Message m;
    m.id = Uuid::random();
    m.sender = sender;
    m.sentAt = at;
    m.text = text;
    m.status = status;
    return m;
}

// An account; with `chats`, two conversations holding every kind of message
// and status (the picture stored in `store`).
inline StoredDatabase seededDatabase(Store& store, bool chats) {
    StoredDatabase db = StoredDatabase::fresh();
    Account account;
    account.id = Uuid::random();
    account.deviceId = db.deviceId;
    account.displayName = "Robin";
    account.number = *VirtualNumber::parse(kOwn);
    account.createdAt = now() - 86400;
    db.account = account;
    if (!chats) return db;

    db.contacts.push_back({Uuid::random(), "Alice Liddell", kAlice, false});
    db.directory[kBob] = "Bob's Bakery";
    const Date t = now() - 3600;

    QImage picture(320, 200, QImage::Format_RGB32);
    picture.fill(QColor(0x4d, 0xb6, 0xac));
    QPainter painter(&picture);
    painter.setBrush(QColor(0xff, 0xd5, 0x4f));
    painter.drawEllipse(QPoint(220, 70), 40, 40);
    painter.end();
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "JPEG", 70);
    const auto stored = store.storeFile({reinterpret_cast<const std::byte*>(jpeg.constData()),
                                         static_cast<std::size_t>(jpeg.size())},
                                        "photo.jpg");

    ChatThread alice;
    alice.id = kAlice;
    alice.title = "Alice Liddell";
    alice.messages.push_back(message("them", "Are we still on for the picnic?", t));
    alice.messages.push_back(message("me", "Yes! I will bring lemonade.", t + 60));
    Message photo = message("them", "Photo", t + 120);
    photo.attachmentKind = "image";
    photo.attachmentName = "photo.jpg";
    photo.attachmentPath = stored;
    alice.messages.push_back(photo);
    Message file = message("me", "menu.pdf", t + 180, MessageStatus::sent);
    file.attachmentKind = "file";
    file.attachmentName = "menu.pdf";
    alice.messages.push_back(file);
    Message voice = message("them", "Voice message", now() - 60);
    voice.attachmentKind = "audio";
    voice.attachmentName = "voice.m4a";
    voice.expiresAt = now() + 7140;
    alice.messages.push_back(voice);
    Message walkie = message("them", "Walkie", now() - 30);
    walkie.attachmentKind = "audio";
    walkie.expiresAt = now() + 245;
    alice.messages.push_back(walkie);
    Message gone = message("them", "never mind", now() - 20);
    gone.deletedForEveryone = true;
    alice.messages.push_back(gone);
    alice.messages.push_back(message("me", "See you at noon.", now() - 10, MessageStatus::waiting));
    alice.updatedAt = now() - 10;

    ChatThread bob;
    bob.id = kBob;
    bob.title = "Bob's Bakery";
    bob.messages.push_back(message("them", "Your order is ready.", t - 7200));
    bob.updatedAt = t - 7200;
    bob.unread = 1;

    db.threads = {alice, bob};

    auto record = [&](const char* number, const char* name, bool video, CallDirection direction,
                      double duration, Date at) {
        db.calls.push_back({Uuid::random(), number, name, video, direction, at, duration});
    };
    record(kAlice, "Alice Liddell", false, CallDirection::outgoing, 125, now() - 600);
    record(kBob, "Bob's Bakery", true, CallDirection::missed, 0, now() - 5400);
    record(kAlice, "Alice Liddell", true, CallDirection::incoming, 4503, now() - 86000);
    return db;
}

}  // namespace merrowfax::ui
