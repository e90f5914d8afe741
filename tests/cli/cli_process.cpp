#include "cli_process.h"

#include <QProcessEnvironment>
#include <QTimer>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace merrowfax::testing {
namespace {

std::string text(const rapidjson::Value& object, const char* key) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd() || !it->value.IsString()) return {};
    return {it->value.GetString(), it->value.GetStringLength()};
}

}  // namespace

CliProcess::CliProcess(const RelayProcess& relay, const QStringList& options, Pace pace) {
    folderPath_ = dir_.path() + QStringLiteral("/data");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MERROWFAX_SERVICE"), QString::fromStdString(relay.wsUrl("")));
    if (pace == Pace::Shortened) {
        // Calls give up after 1.5 s instead of 30.
        env.insert(QStringLiteral("MERROWFAX_TIME_SCALE"), QStringLiteral("0.05"));
    } else {
        env.remove(QStringLiteral("MERROWFAX_TIME_SCALE"));
    }
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { readLines(); });
    // The LAN link only where the test runs a private Avahi daemon (which
    // points the system bus there): never on the machine's own network.
    const QStringList lan = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS")
                                ? QStringList()
                                : QStringList{QStringLiteral("--no-lan")};
    process_.start(QStringLiteral(MERROWFAX_CLI_BINARY),
                   QStringList{QStringLiteral("--data"), folderPath_} + lan + options +
                       QStringList{QStringLiteral("run")});
    process_.waitForStarted();
}

CliProcess::~CliProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished();
    }
}

void CliProcess::readLines() {
    partial_ += process_.readAllStandardOutput().toStdString();
    std::size_t end;
    while ((end = partial_.find('\n')) != std::string::npos) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
}

void CliProcess::write(const std::string& line) {
    process_.write(QByteArray::fromStdString(line + "\n"));
}

rapidjson::Document CliProcess::command(const std::string& json, int ms) {
    rapidjson::Document object;
    object.Parse(json.c_str());
    const int tag = nextTag_++;
    object.AddMember("tag", tag, object.GetAllocator());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    object.Accept(writer);
    const std::size_t from = lines_.size();
    write(buffer.GetString());
    const std::size_t saved = mark_;
    mark_ = from;
    auto reply = waitFor(
        [tag](const rapidjson::Value& line) {
            return line.HasMember("reply") && line.HasMember("tag") && line["tag"].IsInt() &&
                   line["tag"].GetInt() == tag;
        },
        ms);
    mark_ = saved;
    return reply ? std::move(*reply) : rapidjson::Document();
}

std::optional<rapidjson::Document> CliProcess::waitFor(const Match& match, int ms) {
    std::size_t next = mark_;
    std::optional<rapidjson::Document> found;
    spinUntil(
        [&] {
            for (; next < lines_.size(); ++next) {
                rapidjson::Document line;
                line.Parse(lines_[next].c_str());
                if (!line.HasParseError() && line.IsObject() && match(line)) {
                    found = std::move(line);
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

std::optional<rapidjson::Document> CliProcess::waitForChange(const std::string& property,
                                                             const Match& value, int ms) {
    return waitFor(
        [&](const rapidjson::Value& line) {
            return text(line, "event") == "changed" && text(line, "property") == property &&
                   value(line["value"]);
        },
        ms);
}

int CliProcess::closeAndWait(int ms) {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(ms)) return -1;
    readLines();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

void CliProcess::kill() {
    process_.kill();
    process_.waitForFinished();
    readLines();
}

}  // namespace merrowfax::testing
