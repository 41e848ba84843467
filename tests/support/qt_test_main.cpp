// gtest entry with a QCoreApplication: the engine's waits and the serial
// component's events run through the Qt event loop of the creating thread.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
