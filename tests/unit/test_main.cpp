#include <QCoreApplication>

#include <gtest/gtest.h>

// The input port wakes its owner through the event loop, so tests need an application.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
