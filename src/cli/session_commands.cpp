#include "cli/session_commands.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "cli/json_lines.h"
#include "cli/model_json.h"
#include "cli/session.h"
#include "model/record_json.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/paths.h"
#include "platform/timings.h"

namespace merrowfax::cli {
namespace {

const Message* findMessage(const AppModel& model, const Uuid& id) {
    for (const ChatThread& thread : model.messaging().threads()) {
        for (const Message& message : thread.messages) {
            if (message.id == id) return &message;
        }
    }
    return nullptr;
}

}  // namespace

Installation installationAt(const std::optional<std::filesystem::path>& dataFolder) {
    // A data folder of its own is a separate installation: its computer
    // identity lives with it, so two clients on one machine are two devices.
    if (dataFolder) return {*dataFolder, *dataFolder, {}};
    return {merrowfax::dataFolder(), std::nullopt, {}};
}

int runSession(const Installation& installation) {
    Session session(installation);
    session.reportChanges();
    session.readCommands();
    return QCoreApplication::exec();
}

int runSend(const Installation& installation, const std::string& to, const std::string& text) {
    if (!VirtualNumber::parse(to)) return failWith("That number is not a Merrowfax number.");
    if (unicode::trimmed(text).empty()) return failWith("There is nothing to send.");
    Session session(installation);
    if (!session.model().account()) return failWith("There is no number on this device.");
    QObject::connect(&session.model(), &AppModel::alertMessageChanged, [&session] {
        if (const auto& alert = session.model().alertMessage()) {
            JsonLine().field("event", "alert").field("text", *alert).print();
        }
    });

    QElapsedTimer clock;
    clock.start();
    std::optional<Uuid> id;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const bool late = clock.elapsed() >= timings().serviceAnswer.count();
        if (!id) {
            // Sent once the service knows this device; late, it waits in
            // the chat for the next start.
            if (!session.line().isRegistered() && !late) return;
            id = session.model().messaging().sendText(text, to);
            // Refused (own or blocked number): the alert said why.
            if (!id) return session.finish(2);
        }
        const Message* message = findMessage(session.model(), *id);
        const bool sent = message && message->status != MessageStatus::waiting;
        if (!sent && !late) return;
        JsonLine()
            .field("id", id->text())
            .field("status", message ? wordOf(message->status) : wordOf(MessageStatus::waiting))
            .print();
        session.finish(sent ? 0 : 2);
    });
    poll.start(20);
    return QCoreApplication::exec();
}

int runState(const Installation& installation) {
    Session session(installation);
    JsonLine().with("state", [&](JsonWriter& w) { writeState(w, session.model()); }).print();
    session.finish(0);
    return 0;
}

}  // namespace merrowfax::cli
