#include "cli/commands.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "cli/model_json.h"
#include "cli/reply.h"
#include "cli/session.h"
#include "model/text_limits.h"
#include "numbers/country.h"
#include "numbers/unicode_text.h"
#include "numbers/virtual_number.h"
#include "platform/timings.h"

namespace merrowfax::cli {
namespace {

using rapidjson::Value;

// A missing or mistyped argument: the command fails with this text.
struct BadArgument {
    std::string text;
};

// The named arguments of one command object.
class Args {
public:
    explicit Args(const Value& command) : command_(command) {}

    std::string text(const char* name) const {
        const Value* v = find(name);
        if (!v || !v->IsString()) throw BadArgument{quoted(name) + " must be a text."};
        return {v->GetString(), v->GetStringLength()};
    }
    std::string text(const char* name, std::string fallback) const {
        return find(name) ? text(name) : std::move(fallback);
    }
    bool flag(const char* name) const {
        const Value* v = find(name);
        if (!v || !v->IsBool()) throw BadArgument{quoted(name) + " must be true or false."};
        return v->GetBool();
    }
    bool flag(const char* name, bool fallback) const { return find(name) ? flag(name) : fallback; }
    std::int64_t integer(const char* name) const {
        const Value* v = find(name);
        if (!v || !v->IsInt64()) throw BadArgument{quoted(name) + " must be a whole number."};
        return v->GetInt64();
    }
    double number(const char* name) const {
        const Value* v = find(name);
        if (!v || !v->IsNumber()) throw BadArgument{quoted(name) + " must be a number."};
        return v->GetDouble();
    }
    Uuid id(const char* name) const {
        auto parsed = Uuid::parse(text(name));
        if (!parsed) throw BadArgument{quoted(name) + " must be an id."};
        return *parsed;
    }
    bool has(const char* name) const { return find(name) != nullptr; }

private:
    const Value* find(const char* name) const {
        auto it = command_.FindMember(name);
        return it == command_.MemberEnd() || it->value.IsNull() ? nullptr : &it->value;
    }
    static std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

    const Value& command_;
};

// Remembers the last alert the model raises while it lives: most
// operations report their failures that way.
class AlertWatch {
public:
    explicit AlertWatch(AppModel& model) {
        connection_ = QObject::connect(&model, &AppModel::alertMessageChanged, [this, &model] {
            if (model.alertMessage()) alert_ = model.alertMessage();
        });
    }
    ~AlertWatch() { QObject::disconnect(connection_); }
    AlertWatch(const AlertWatch&) = delete;
    AlertWatch& operator=(const AlertWatch&) = delete;

    const std::optional<std::string>& alert() const { return alert_; }

private:
    QMetaObject::Connection connection_;
    std::optional<std::string> alert_;
};

struct Context {
    Session& session;
    AppModel& model;
    const Args& args;
    const std::shared_ptr<Reply>& reply;
};

using Handler = std::function<void(Context&)>;

// The operation ran; an alert it raised means it failed.
void settle(Context& c, const AlertWatch& watch,
            const std::function<void(JsonLine&)>& fields = {}) {
    if (watch.alert()) return c.reply->fail(*watch.alert());
    c.reply->succeed(fields);
}

// A claim is settled by the service: the reply waits for its answer, the
// registration ("pin") or a refusal (an alert, the old account restored).
void replyWhenRegistered(Context& c, const AlertWatch& watch) {
    if (watch.alert()) return c.reply->fail(*watch.alert());
    if (!c.model.account()) return c.reply->fail("There is no number on this device.");
    auto* poll = new QTimer(&c.session);
    auto refused = std::make_shared<std::optional<std::string>>();
    QObject::connect(&c.model, &AppModel::alertMessageChanged, poll, [&model = c.model, refused] {
        if (model.alertMessage()) *refused = model.alertMessage();
    });
    QElapsedTimer clock;
    clock.start();
    QObject::connect(poll, &QTimer::timeout, poll,
                     [poll, clock, refused, reply = c.reply, &session = c.session] {
                         if (*refused) {
                             reply->fail(**refused);
                         } else if (session.line().isRegistered()) {
                             reply->succeed([&](JsonLine& line) {
                                 line.field("number", session.model().account()->number.text());
                             });
                         } else if (clock.elapsed() < timings().serviceAnswer.count()) {
                             return;
                         } else {
                             reply->fail("The relay service did not answer.");
                         }
                         poll->deleteLater();
                     });
    poll->start(20);
}

// A search for a link code answers once this device has the number, or
// with the status that says why not.
void replyWhenLinked(Context& c) {
    const LinkController& linking = c.model.linking();
    if (!linking.linkStatus().starts_with("Looking")) return c.reply->fail(linking.linkStatus());
    auto* poll = new QTimer(&c.session);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, reply = c.reply, &model = c.model] {
        const std::string& status = model.linking().linkStatus();
        if (model.account() && model.account()->isCompanion) {
            reply->succeed(
                [&](JsonLine& line) { line.field("number", model.account()->number.text()); });
        } else if (status.starts_with("Looking")) {
            return;
        } else {
            reply->fail(status);
        }
        poll->deleteLater();
    });
    poll->start(20);
}

void requireAccount(const AppModel& model) {
    if (!model.account()) throw BadArgument{"There is no number on this device."};
}

// The model ignores a number it cannot read; a script is told.
std::string numberArgument(const Args& args, const char* name) {
    std::string number = args.text(name);
    if (!VirtualNumber::parse(number)) throw BadArgument{"That number is not a Merrowfax number."};
    return number;
}

std::string canonical(const std::string& number) {
    auto parsed = VirtualNumber::parse(number);
    return parsed ? parsed->text() : number;
}

void idField(JsonLine& line, const std::optional<Uuid>& id) {
    if (id) line.field("id", id->text());
}

// Reads at most `limit` + 1 bytes: enough to tell a file that is too large.
std::optional<std::vector<std::byte>> readFile(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::byte> bytes(limit + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void writePage(JsonLine& line, const DirectoryPage& page) {
    line.with("people", [&](JsonWriter& w) {
        w.StartArray();
        for (const DirectoryEntry& e : page.people) {
            w.StartObject();
            writeString(w, "number");
            writeString(w, e.number);
            writeString(w, "name");
            writeString(w, e.name);
            writeString(w, "business");
            w.Bool(e.business);
            w.EndObject();
        }
        w.EndArray();
    });
    line.field("more", page.more).field("after", page.after);
}

const std::map<std::string, Handler, std::less<>>& handlers() {
    static const std::map<std::string, Handler, std::less<>> table = {
        {"state",
         [](Context& c) {
             c.reply->succeed([&](JsonLine& line) {
                 line.with("state",
                           [&](JsonWriter& w) { writeState(w, c.model, c.session.lan()); });
             });
         }},
        {"newNumber",
         [](Context& c) {
             const std::string name = c.args.text("name");
             const bool business = c.args.flag("business", false);
             const std::string country = c.args.text("country");
             const auto place = city(country, c.args.integer("city"));
             const std::string pin = c.args.text("pin");
             if (!place) throw BadArgument{"That city is not in the number plan."};
             if (cleanName(name).empty()) throw BadArgument{"Enter a name."};
             AlertWatch watch(c.model);
             c.model.accounts().claimNewNumber(name, business, VirtualNumber::issue(*place), pin,
                                               pin);
             replyWhenRegistered(c, watch);
         }},
        {"reclaim",
         [](Context& c) {
             const std::string name = c.args.text("name");
             const std::string number = c.args.text("number");
             const std::string pin = c.args.text("pin");
             if (cleanName(name).empty()) throw BadArgument{"Enter a name."};
             AlertWatch watch(c.model);
             if (c.model.account()) {
                 c.model.accounts().claimNumber(name, number, pin);
             } else if (auto note = c.model.accounts().reclaimNumber(name, number, pin);
                        !note.empty()) {
                 return c.reply->fail(note);
             }
             replyWhenRegistered(c, watch);
         }},
        {"sendText",
         [](Context& c) {
             requireAccount(c.model);
             const std::string to = numberArgument(c.args, "to");
             const std::string text = c.args.text("text");
             AlertWatch watch(c.model);
             const auto id = c.model.messaging().sendText(text, to);
             if (!id && !watch.alert()) return c.reply->fail("There is nothing to send.");
             settle(c, watch, [&](JsonLine& line) { idField(line, id); });
         }},
        {"sendFile",
         [](Context& c) {
             requireAccount(c.model);
             const std::string to = numberArgument(c.args, "to");
             const std::string path = c.args.text("path");
             const std::string kind = c.args.text("kind", "file");
             if (kind != "image" && kind != "audio" && kind != "file") {
                 throw BadArgument{"\"kind\" must be \"image\", \"audio\" or \"file\"."};
             }
             auto bytes = readFile(path, kAttachmentLimit);
             if (!bytes) return c.reply->fail("That file cannot be read.");
             const std::string fileName = std::filesystem::path(path).filename().string();
             AlertWatch watch(c.model);
             const auto id = c.model.messaging().sendAttachment(*bytes, kind, fileName, to);
             // A file that waits for its reader is still sent later: the
             // alert says so, and the message exists.
             if (id)
                 return c.reply->succeed([&](JsonLine& line) {
                     idField(line, id);
                     if (watch.alert()) line.field("alert", *watch.alert());
                 });
             settle(c, watch);
         }},
        {"recordVoice",
         [](Context& c) {
             requireAccount(c.model);
             const std::string to = numberArgument(c.args, "to");
             const double seconds = c.args.number("seconds");
             const double most = std::chrono::duration<double>(timings().voiceLimit).count();
             if (!(seconds > 0 && seconds <= most)) {
                 throw BadArgument{"\"seconds\" must be above 0 and at most the limit of " +
                                   std::to_string(static_cast<int>(most)) + "."};
             }
             VoiceNotes& voice = c.model.voice();
             if (c.model.calls().active()) return c.reply->fail("A call is using the microphone.");
             // The reply waits for this recording alone: a second is refused.
             if (voice.recording()) return c.reply->fail("A voice message is being recorded.");
             if (!voice.start(to)) return c.reply->fail("The microphone did not start.");
             auto* wait = new QObject(&voice);
             QObject::connect(&voice, &VoiceNotes::ended, wait, [wait, reply = c.reply](bool sent) {
                 if (sent) {
                     reply->succeed();
                 } else {
                     reply->fail("Nothing was recorded.");
                 }
                 wait->deleteLater();
             });
             QTimer::singleShot(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)),
                                wait, [&voice] { voice.stop(); });
         }},
        {"deleteForMe",
         [](Context& c) {
             c.model.messaging().deleteMessageForMe(c.args.id("id"),
                                                    canonical(c.args.text("number")));
             c.reply->succeed();
         }},
        {"deleteForEveryone",
         [](Context& c) {
             requireAccount(c.model);
             AlertWatch watch(c.model);
             c.model.messaging().deleteMessageForEveryone(c.args.id("id"),
                                                          canonical(c.args.text("number")));
             settle(c, watch);
         }},
        {"clearChat",
         [](Context& c) {
             c.model.messaging().clearChat(canonical(c.args.text("number")));
             c.reply->succeed();
         }},
        {"addContact",
         [](Context& c) {
             AlertWatch watch(c.model);
             const std::string name = c.args.text("name");
             c.model.people().addContact(name, c.args.text("number"));
             settle(c, watch);
         }},
        {"updateContact",
         [](Context& c) {
             AlertWatch watch(c.model);
             const Uuid id = c.args.id("id");
             const std::string name = c.args.text("name");
             c.model.people().updateContact(id, name, c.args.text("number"));
             settle(c, watch);
         }},
        {"deleteContact",
         [](Context& c) {
             c.model.people().deleteContact(c.args.id("id"));
             c.reply->succeed();
         }},
        {"setBlocked",
         [](Context& c) {
             const Uuid id = c.args.id("id");
             c.model.people().setBlocked(id, c.args.flag("blocked"));
             c.reply->succeed();
         }},
        {"startCall",
         [](Context& c) {
             requireAccount(c.model);
             AlertWatch watch(c.model);
             const std::string to = c.args.text("to");
             c.model.calls().startCall(to, c.args.flag("video", false));
             settle(c, watch, [&](JsonLine& line) {
                 if (c.model.calls().active())
                     line.field("id", c.model.calls().active()->id.text());
             });
         }},
        {"holdTalk",
         [](Context& c) {
             requireAccount(c.model);
             AlertWatch watch(c.model);
             c.model.walkie().holdTalk(c.args.text("to"));
             settle(c, watch);
         }},
        {"endTalk",
         [](Context& c) {
             c.model.walkie().endTalk(c.args.text("to"));
             c.reply->succeed();
         }},
        {"walkieContactsOnly",
         [](Context& c) {
             c.model.walkie().setContactsOnly(c.args.flag("on"));
             c.reply->succeed();
         }},
        {"playMessage",
         [](Context& c) {
             const Uuid id = c.args.id("id");
             AlertWatch watch(c.model);
             c.model.playWalkieMessage(id, c.args.text("number"));
             settle(c, watch);
         }},
        {"answer",
         [](Context& c) {
             if (!c.model.calls().incoming()) return c.reply->fail("No call is ringing.");
             c.model.calls().answerCall();
             c.reply->succeed();
         }},
        {"decline",
         [](Context& c) {
             if (!c.model.calls().incoming()) return c.reply->fail("No call is ringing.");
             c.model.calls().declineCall();
             c.reply->succeed();
         }},
        {"end",
         [](Context& c) {
             if (!c.model.calls().incoming() && !c.model.calls().active())
                 return c.reply->fail("No call to end.");
             c.model.calls().endCall();
             c.reply->succeed();
         }},
        {"mute",
         [](Context& c) {
             c.model.calls().media().setMuted(c.args.flag("on"));
             c.reply->succeed();
         }},
        {"speaker",
         [](Context& c) {
             // A desktop plays aloud whatever is asked; the state says so.
             c.model.calls().media().setSpeaker(c.args.flag("on"));
             c.reply->succeed();
         }},
        {"video",
         [](Context& c) {
             const bool on = c.args.flag("on");
             if (!c.model.calls().active()) return c.reply->fail("No call is going on.");
             AlertWatch watch(c.model);
             if (on != c.model.calls().media().videoOn()) c.model.calls().toggleCallVideo();
             settle(c, watch);
         }},
        {"flipCamera",
         [](Context& c) {
             c.model.calls().media().switchCamera();
             c.reply->succeed();
         }},
        {"setPIN",
         [](Context& c) {
             requireAccount(c.model);
             AlertWatch watch(c.model);
             c.model.accounts().setPIN(c.args.text("pin"));
             settle(c, watch);
         }},
        {"changePIN",
         [](Context& c) {
             requireAccount(c.model);
             AlertWatch watch(c.model);
             const std::string current = c.args.text("current");
             c.model.accounts().changePIN(current, c.args.text("new"));
             settle(c, watch);
         }},
        {"saveProfile",
         [](Context& c) {
             requireAccount(c.model);
             const std::string name = c.args.text("name");
             const bool business = c.args.flag("business", false);
             if (cleanName(name).empty()) throw BadArgument{"Enter a name."};
             AlertWatch watch(c.model);
             c.model.accounts().saveProfile(name, business);
             // Saving says so in an alert: that one is good news.
             c.reply->succeed([&](JsonLine& line) {
                 if (watch.alert()) line.field("alert", *watch.alert());
             });
         }},
        {"directory",
         [](Context& c) {
             DirectoryQuery query;
             query.search = c.args.text("q", "");
             query.letter = c.args.text("letter", "A");
             query.after = c.args.text("after", "");
             c.session.directory().fetch(query, [reply = c.reply](DirectoryAnswer answer) {
                 if (answer.outcome != DirectoryAnswer::Outcome::page) {
                     return reply->fail("The directory did not answer.");
                 }
                 reply->succeed([&](JsonLine& line) { writePage(line, answer.page); });
             });
         }},
        {"hostLinkCode",
         [](Context& c) {
             requireAccount(c.model);
             const std::string code = c.model.linking().hostLinkCode();
             c.reply->succeed([&](JsonLine& line) { line.field("code", code); });
         }},
        {"stopHosting",
         [](Context& c) {
             c.model.linking().stopHosting();
             c.reply->succeed();
         }},
        {"seekLinkCode",
         [](Context& c) {
             c.model.linking().seekLinkCode(c.args.text("code"));
             replyWhenLinked(c);
         }},
        {"unlinkDevice",
         [](Context& c) {
             requireAccount(c.model);
             const Uuid id = c.args.id("id");
             const auto& linked = c.model.account()->linkedDevices;
             if (std::none_of(linked.begin(), linked.end(),
                              [&](const LinkedDevice& d) { return d.id == id; }))
                 return c.reply->fail("No linked device has that id.");
             c.model.linking().unlinkDevice(id.text());
             c.reply->succeed();
         }},
        {"startSharing",
         [](Context& c) {
             requireAccount(c.model);
             c.model.desk().startSharing(canonical(numberArgument(c.args, "to")));
             c.reply->succeed();
         }},
        {"stopSharing",
         [](Context& c) {
             c.model.desk().stopSharing();
             c.reply->succeed();
         }},
        {"allowControl",
         [](Context& c) {
             c.model.desk().allowControl(c.args.flag("on"));
             c.reply->succeed();
         }},
        {"deskEvent",
         [](Context& c) {
             c.model.desk().sendDeskEvent(
                 c.args.text("action"), c.args.number("x"), c.args.number("y"),
                 c.args.has("dy") ? c.args.number("dy") : 0, c.args.text("phase", ""),
                 c.args.has("clicks") ? c.args.integer("clicks") : 1);
             c.reply->succeed();
         }},
        {"deskTyping",
         [](Context& c) {
             c.model.desk().sendDeskTyping(c.args.text("text"));
             c.reply->succeed();
         }},
        {"stopWatching",
         [](Context& c) {
             c.model.desk().stopWatching();
             c.reply->succeed();
         }},
        {"reset",
         [](Context& c) {
             c.model.resetDevice();
             c.reply->succeed();
         }},
        {"lan",
         [](Context& c) {
             // The direct link to devices on this network, off or on again.
             PeerLink* lan = c.session.lan();
             if (!lan) return c.reply->fail("This client runs without the LAN link.");
             if (!c.args.flag("on", true)) {
                 lan->stop();
                 return c.reply->succeed();
             }
             requireAccount(c.model);
             const Account& account = *c.model.account();
             lan->start(account.number.text(), cleanName(account.displayName));
             c.reply->succeed();
         }},
        {"dismissAlert",
         [](Context& c) {
             c.model.dismissAlert();
             c.reply->succeed();
         }},
        {"quit",
         [](Context& c) {
             c.session.endInput();
             c.reply->succeed();
         }},
    };
    return table;
}

}  // namespace

void runCommand(Session& session, const std::string& name, const rapidjson::Value& command,
                std::shared_ptr<Reply> reply) {
    const auto& table = handlers();
    auto it = table.find(name);
    if (it == table.end()) return reply->fail("Unknown command \"" + name + "\".");
    const Args args(command);
    Context context{session, session.model(), args, reply};
    try {
        it->second(context);
    } catch (const BadArgument& bad) {
        reply->fail(bad.text);
    }
}

}  // namespace merrowfax::cli
