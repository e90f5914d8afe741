// Leaving a number: this computer forgotten, and the device erased.

#include "app/app_model.h"

namespace merrowfax {

void AppModel::forgetComputer() {
    components_.line->forgetComputer(components_.computerIdentity);
}

void AppModel::resetDevice() {
    calls_->reset();
    forgetComputer();
    components_.network->stop();
    // Nothing of the number stays here, not even its registration.
    components_.line->stop();

    setAccount(std::nullopt);
    data_.contacts.clear();
    data_.threads.clear();
    data_.calls.clear();
    data_.directory.clear();
    threadOf_.clear();
    Q_EMIT contactsChanged();
    Q_EMIT threadsChanged();
    Q_EMIT callListChanged();
    Q_EMIT directoryChanged();
    accounts_->reset();
    lanOnline_.clear();
    netOnline_.clear();
    refreshOnline();
    save();
    sweepOrphanFiles();  // the attachments of the erased chats
}

}  // namespace merrowfax
