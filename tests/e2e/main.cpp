#include "e2e/jack_harness.h"

#include <QApplication>
#include <QByteArray>

#include <gtest/gtest.h>

// The input port wakes its owner through the event loop, and the window library is linked,
// so the tests run under a widget application with no display.
int main(int argc, char** argv) {
    velomire::e2e::IsolateJackState();
    // Test discovery runs this binary without the test environment.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    velomire::e2e::InstallWatchdog(std::chrono::seconds(30));
    return RUN_ALL_TESTS();
}
