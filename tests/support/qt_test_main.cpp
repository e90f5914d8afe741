// main() for tests of Qt code: an event loop for timers, sockets and the
// main-thread hops, and every wait in the program shortened.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "platform/timings.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    merrowfax::Timings quick;
    quick.reconnect = std::chrono::milliseconds(100);
    quick.keepAlive = std::chrono::milliseconds(1000);
    quick.computerLookup = std::chrono::milliseconds(2000);
    // Long enough that a call is answered in time on a slow machine; tests
    // of the timeout shorten it themselves.
    quick.noAnswer = std::chrono::milliseconds(10000);
    quick.ringRepeat = std::chrono::milliseconds(50);
    quick.pathCheck = std::chrono::milliseconds(20);
    quick.audioRestart = std::chrono::milliseconds(30);
    merrowfax::setTimings(quick);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
