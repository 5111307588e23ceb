#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // event delivery and QProcess need one
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
