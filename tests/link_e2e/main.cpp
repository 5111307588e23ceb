#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // posted events need one
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
