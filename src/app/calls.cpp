// The call list: stored data the call flow adds to.

#include "app/app_model.h"

namespace merrowfax {
namespace {

// The call list keeps this many, newest first.
constexpr std::size_t kCallListLength = 200;

}  // namespace

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
    Q_EMIT callListChanged();
    save();
}

}  // namespace merrowfax
