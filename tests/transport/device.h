#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/app_model.h"
#include "numbers/virtual_number.h"
#include "support/relay_process.h"
#include "transport/internet_line.h"
#include "transport/service_address.h"

namespace merrowfax::testing {

// Runs the event loop until `done`, or fails after `ms` milliseconds.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Runs the event loop for `ms` milliseconds: for what must not happen.
inline void idle(int ms) {
    waitFor([] { return false; }, ms);
}

// One installation: its own data folder, computer and line to the service.
struct Device {
    QTemporaryDir dir;
    std::unique_ptr<AppModel> model;
    InternetLine* line = nullptr;

    Device(const RelayProcess& relay, const std::string& computer,
           std::optional<std::pair<const char*, const char*>> account) {
        if (account) {
            StoredDatabase db = StoredDatabase::fresh();
            Account a;
            a.id = Uuid::random();
            a.deviceId = db.deviceId;
            a.number = *VirtualNumber::parse(account->first);
            a.displayName = account->second;
            db.account = a;
            Store(folder()).save(db);
        }
        AppComponents parts;
        auto realLine = std::make_unique<InternetLine>(
            acceptedServiceAddress(QString::fromStdString(relay.wsUrl(""))));
        line = realLine.get();
        parts.line = std::move(realLine);
        parts.computerIdentity = computer;
        model = std::make_unique<AppModel>(folder(), std::move(parts));
    }
    std::filesystem::path folder() const { return dir.path().toStdString(); }

    const Message* message(const std::string& thread, std::size_t index = 0) const {
        for (const auto& t : model->messaging().threads()) {
            if (t.id == thread && index < t.messages.size()) return &t.messages[index];
        }
        return nullptr;
    }
};

}  // namespace merrowfax::testing
