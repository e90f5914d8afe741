// Leaving a number: this computer forgotten, and the device erased.

#include "app/app_model.h"

namespace merrowfax {

void AppModel::forgetComputer() {
    components_.line->forgetComputer(components_.computerIdentity);
}

void AppModel::resetDevice() {
    calls_->reset();
    linking_->reset();
    desk_->reset();
    forgetComputer();
    components_.network->stop();
    // Nothing of the number stays here, not even its registration.
    components_.line->stop();

    setAccount(std::nullopt);
    data_.calls.clear();
    people_->clearAll();
    messaging_->clearAll();  // and the attachments of the erased chats
    Q_EMIT callListChanged();
    accounts_->reset();
    lanOnline_.clear();
    netOnline_.clear();
    refreshOnline();
    save();
}

}  // namespace merrowfax
