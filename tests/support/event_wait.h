#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

namespace merrowfax::testing {

// Runs the event loop until `done` or `ms` milliseconds.
inline bool spinUntil(const std::function<bool()>& done, int ms = 3000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        // Asleep until an event or a few milliseconds pass: processEvents()
        // alone returns at once when nothing is pending, and that busy loop
        // takes a core from the programs under test.
        QEventLoop nap;
        QTimer::singleShot(2, &nap, &QEventLoop::quit);
        nap.exec();
    }
    return true;
}

}  // namespace merrowfax::testing
