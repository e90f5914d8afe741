#include "cli/session.h"

#include <QCoreApplication>

#include <cerrno>

#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "cli/commands.h"
#include "cli/model_json.h"
#include "cli/reply.h"
#include "composition/composition.h"
#include "wire/bounded_json.h"

namespace merrowfax::cli {
namespace {

// A command line longer than this is refused unread: no command needs it.
constexpr std::size_t kMaxLineBytes = 1 << 20;

// Notifications become event lines.
class PrintingNotifier final : public Notifier {
public:
    void requestPermission() override {}
    NoticeId post(Notice notice, NoticeAction) override {
        JsonLine()
            .field("event", "notification")
            .field("title", notice.title)
            .field("body", notice.body)
            .print();
        return 0;
    }
    void withdraw(NoticeId) override {}
};

std::string jsonText(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

Session::Session(const Installation& installation) {
    FrontEnd commandLine;
    commandLine.notifier = std::make_unique<PrintingNotifier>();
    commandLine.identityFolder = installation.identityFolder;
    commandLine.audioInput = installation.devices.audioInput;
    commandLine.audioOutput = installation.devices.audioOutput;
    commandLine.camera = installation.devices.camera;
    commandLine.sounds = installation.devices.sounds;
    commandLine.lan = installation.lan;
    Composition made = compose(std::move(commandLine));
    line_ = made.line;
    lan_ = made.lan;
    model_ = std::make_unique<AppModel>(installation.dataFolder, std::move(made.components));
    // Asked to stop: as "quit" does, without waiting for replies still due.
    quitSignals_ = std::make_unique<QuitSignals>([this] { finish(); });
}

Session::~Session() {
    // Replies that fail now only print. The model goes first, while the rest
    // of the session stands: replies still waiting for the directory fail
    // as its client goes.
    inputEnded_ = false;
    model_.reset();
}

void Session::reportChanges() {
    for (const PublishedProperty& property : publishedProperties()) {
        property.watch(*model_, this, [this, &property] {
            JsonLine()
                .field("event", "changed")
                .field("property", property.name)
                .with("value", [&](JsonWriter& w) { property.write(w, *model_); })
                .print();
        });
    }
    connect(model_.get(), &AppModel::alertMessageChanged, this, [this] {
        if (const auto& alert = model_->alertMessage()) {
            JsonLine().field("event", "alert").field("text", *alert).print();
        }
    });
}

void Session::readCommands() {
    input_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(input_.get(), &QSocketNotifier::activated, this, &Session::readInput);
}

void Session::readInput() {
    char chunk[64 * 1024];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n <= 0) {
        input_->setEnabled(false);
        // A last line without its newline still counts.
        if (!pending_.empty() && !skippingLong_) handleLine(pending_);
        pending_.clear();
        endInput();
        return;
    }
    std::string_view data(chunk, static_cast<std::size_t>(n));
    while (!data.empty() && !inputEnded_) {
        const auto end = data.find('\n');
        const std::string_view part = data.substr(0, end);
        if (!skippingLong_) {
            if (pending_.size() + part.size() > kMaxLineBytes) {
                pending_.clear();
                skippingLong_ = true;
                Reply(std::nullopt, std::nullopt).fail("That line is longer than 1 MB.");
            } else {
                pending_.append(part);
            }
        }
        if (end == std::string_view::npos) break;
        data.remove_prefix(end + 1);
        if (!skippingLong_) handleLine(pending_);
        pending_.clear();
        skippingLong_ = false;
    }
}

void Session::handleLine(std::string_view text) {
    if (text.find_first_not_of(" \t\r") == std::string_view::npos) return;  // blank
    rapidjson::Document document;
    if (!wire::parseBoundedObject(text, document, kMaxLineBytes)) {
        Reply(std::nullopt, std::nullopt).fail("That line is not a JSON object.");
        return;
    }
    std::optional<std::string> tag;
    if (auto it = document.FindMember("tag"); it != document.MemberEnd()) {
        tag = jsonText(it->value);
    }
    auto cmd = document.FindMember("cmd");
    if (cmd == document.MemberEnd() || !cmd->value.IsString()) {
        Reply(std::nullopt, std::move(tag)).fail("The command has no \"cmd\" text.");
        return;
    }
    const std::string name(cmd->value.GetString(), cmd->value.GetStringLength());
    ++unanswered_;
    auto reply = std::make_shared<Reply>(name, std::move(tag), [this] {
        --unanswered_;
        if (inputEnded_ && unanswered_ == 0) finish();
    });
    runCommand(*this, name, document, std::move(reply));
}

void Session::endInput() {
    if (inputEnded_) return;
    inputEnded_ = true;
    if (input_) input_->setEnabled(false);
    if (unanswered_ == 0) finish();
}

void Session::finish(int status) {
    if (finished_) return;
    finished_ = true;
    if (input_) input_->setEnabled(false);
    // A call under way is hung up first, and its "end" given time to go.
    model_->prepareToQuit([this, status] {
        model_->save();
        model_->waitForBackgroundWork();
        QCoreApplication::exit(status);
    });
}

}  // namespace merrowfax::cli
