// What a change of one message costs the screens: the model with 200 chats
// (one of 10 000 messages) and the chat list and conversation models that
// follow it, as the window has them.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <memory>
#include <string>

#include "app/app_model.h"
#include "model/store.h"
#include "ui/bridge/message_list_model.h"
#include "ui/bridge/thread_list_model.h"

namespace {

using namespace merrowfax;

constexpr int kThreads = 200;
constexpr int kLongThread = 10'000;

// Receives nothing by itself: the benchmark hands texts to the model as the
// internet line would.
class BenchLine final : public NetTransport {
public:
    Callbacks callbacks;

    void setCallbacks(Callbacks c) override { callbacks = std::move(c); }
    void start(const LineIdentity&) override {}
    void stop() override {}
    bool send(const wire::Envelope&) override { return true; }
    void requestBook(const std::optional<std::vector<BookEntry>>&) override {}
    void lookupComputer(const std::string&,
                        std::function<void(std::optional<RememberedAccount>)> done) override {
        done(std::nullopt);
    }
    void forgetComputer(const std::string&) override {}
    bool trustComputer(const std::string&, bool) override { return false; }
    bool isOpen() const override { return true; }
    void connect() override {}
    void sendAudio(std::string, std::string) override {}
    void sendBinary(wire::FrameKind, std::optional<std::string>, wire::Bytes,
                    std::function<void()> completion) override {
        if (completion) completion();
    }
};

std::string numberOf(int i) {
    return "0-1-234-" + std::to_string(5000 + i);
}

Message message(std::string sender, int n) {
    Message m;
    m.id = Uuid::random();
    m.sender = std::move(sender);
    m.sentAt = 1000 + n;
    m.text = "message text number " + std::to_string(n);
    m.status = MessageStatus::delivered;
    return m;
}

// A model over a store in memory-backed files, with both list models on it.
struct Screens {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/bench-XXXXXX")};
    BenchLine* line = nullptr;
    std::unique_ptr<AppModel> model;
    ui::ThreadListModel chats;
    ui::MessageListModel conversation;
    Uuid last;  // the newest message of the long chat, ours

    Screens() {
        const std::filesystem::path folder = dir.path().toStdString();
        StoredDatabase db = StoredDatabase::fresh();
        Account account;
        account.id = Uuid::random();
        account.displayName = "Bench";
        account.number = *VirtualNumber::parse("0-1-234-4999");
        db.account = account;
        for (int t = 0; t < kThreads; ++t) {
            db.contacts.push_back(
                Contact{Uuid::random(), "Friend " + std::to_string(t), numberOf(t), false});
            ChatThread thread;
            thread.id = numberOf(t);
            thread.title = thread.id;
            const int count = t == 0 ? kLongThread : 20;
            for (int n = 0; n < count; ++n) thread.messages.push_back(message("them", n));
            thread.messages.back().sender = "me";
            thread.updatedAt = thread.messages.back().sentAt;
            db.threads.push_back(std::move(thread));
        }
        last = db.threads.front().messages.back().id;
        Store(folder).save(db);

        AppComponents parts;
        auto fake = std::make_unique<BenchLine>();
        line = fake.get();
        parts.line = std::move(fake);
        model = std::make_unique<AppModel>(folder, std::move(parts));
        chats.setModel(model.get());
        conversation.setModel(model.get());
        conversation.setNumber(QString::fromStdString(numberOf(0)));
        QCoreApplication::processEvents();
    }

    void receive(const std::string& from, int n) {
        wire::events::Text text;
        text.id = Uuid::random();
        text.from = from;
        text.to = "0-1-234-4999";
        text.name = "Friend";
        text.body = "hello " + std::to_string(n);
        text.sent = 5000 + n;
        line->callbacks.handler(std::move(text));
    }
};

// The status line of the newest message of a 10 000-message chat changes.
void StatusOfOneMessage(benchmark::State& state) {
    Screens screens;
    bool sent = false;
    for (auto _ : state) {
        screens.model->messaging().setStatus(sent ? MessageStatus::sent : MessageStatus::waiting,
                                             screens.last);
        sent = !sent;
    }
}
BENCHMARK(StatusOfOneMessage)->Unit(benchmark::kMicrosecond);

std::size_t messageCount(const AppModel& model) {
    std::size_t count = 0;
    for (const ChatThread& t : model.messaging().threads()) count += t.messages.size();
    return count;
}

// 1 000 texts arrive, spread over the 200 chats, while the long one is open.
void ThousandTextsInto200Chats(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto screens = std::make_unique<Screens>();
        const std::size_t before = messageCount(*screens->model);
        state.ResumeTiming();
        for (int n = 0; n < 1000; ++n) screens->receive(numberOf(n % kThreads), n);
        while (messageCount(*screens->model) < before + 1000) QCoreApplication::processEvents();
        state.PauseTiming();
        screens.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(ThousandTextsInto200Chats)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
