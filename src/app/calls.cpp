// The model's call operations: the call flow itself is CallController's;
// the call list is stored data, kept here.

#include "app/app_model.h"

namespace merrowfax {
namespace {

// The call list keeps this many, newest first.
constexpr std::size_t kCallListLength = 200;

}  // namespace

void AppModel::startCall(const std::string& number, bool video) {
    calls_->startCall(number, video);
}

void AppModel::answerCall() {
    calls_->answerCall();
}

void AppModel::declineCall() {
    calls_->declineCall();
}

void AppModel::toggleCallVideo() {
    calls_->toggleCallVideo();
}

void AppModel::endCall() {
    calls_->endCall();
}

void AppModel::handleCallSignal(const wire::events::Call& signal) {
    calls_->handleSignal(signal);
}

void AppModel::noAnswer(const Uuid& id, bool incoming) {
    (void)incoming;  // the id alone tells which call it was
    calls_->noAnswer(id);
}

void AppModel::callNotDelivered(const std::string& number) {
    calls_->callNotDelivered(number);
}

double AppModel::callDuration(const ActiveCall& call, Date end) {
    return CallController::duration(call, end);
}

void AppModel::recordCall(const std::string& number, const std::string& name, bool video,
                          CallDirection direction, double duration) {
    CallRecord record;
    record.id = Uuid::random();
    record.number = number;
    record.name = name;
    record.video = video;
    record.direction = direction;
    record.at = now();
    record.duration = duration;
    data_.calls.insert(data_.calls.begin(), std::move(record));
    if (data_.calls.size() > kCallListLength) data_.calls.resize(kCallListLength);
    Q_EMIT callsChanged();
    save();
}

}  // namespace merrowfax
