#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "model/records.h"

namespace merrowfax::fixture {

// A file's bytes, or "" when it cannot be read.
inline std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline Message message(std::string sender, Date sentAt, std::string text, MessageStatus status) {
    Message m;
    m.id = Uuid::random();
    m.sender = std::move(sender);
    m.sentAt = sentAt;
    m.text = std::move(text);
    m.status = status;
    return m;
}

// A database with every field and optional set somewhere, and non-ASCII text.
inline StoredDatabase sampleDatabase() {
    StoredDatabase db = StoredDatabase::fresh();
    Account account;
    account.id = Uuid::random();
    account.deviceId = db.deviceId;
    account.displayName = "Zoë Müller";
    account.number = VirtualNumber{Country{"44"}, 1, 2345678};
    account.createdAt = 786297600.123456;
    account.isCompanion = true;
    account.linkedDevices = {
        {Uuid::random(), "Zoë's Mac", "Mac", 786297700.5, 786300000.25, "mac-ZOE"}};
    account.accountKind = "shop";
    db.account = account;
    db.contacts = {{Uuid::random(), "Ana", "0-1-234-5678", true},
                   {Uuid::random(), "李雷", "1-2-000-0001", false}};

    Message plain = message("me", 60.0, "hello \"quoted\" \\ \n\t😀", MessageStatus::delivered);
    Message voice = message("them", 1e9 + 0.1, "Voice message", MessageStatus::sent);
    voice.attachmentName = "rec.m4a";
    voice.attachmentKind = "audio";
    voice.attachmentPath = "0C9A8B7E-1111-4222-8333-444455556666.m4a";
    voice.expiresAt = 1e9 + 7200.1;
    Message gone = message("them", -0.5, "This message was deleted", MessageStatus::deleted);
    gone.deletedForEveryone = true;
    db.threads = {{"0-1-234-5678", "Ana", {plain, voice, gone}, 1e9 + 0.1},
                  {"1-2-000-0001", "1-2-000-0001", {}, 0}};
    db.calls = {
        {Uuid::random(), "0-1-234-5678", "Ana", true, CallDirection::missed, 1e9, 0},
        {Uuid::random(), "1-2-000-0001", "李雷", false, CallDirection::outgoing, 2e9, 12.75}};
    db.directory = {{"0-1-234-5678", "Ana"}, {"7-1-765-4321", "Ивана"}};
    db.channelId = Uuid::random();
    db.lockScreenTalk = false;
    return db;
}

// A fresh folder under the temporary directory, removed at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mfx-model-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace merrowfax::fixture
