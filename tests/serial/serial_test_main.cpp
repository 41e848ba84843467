#include <gtest/gtest.h>

#include <QCoreApplication>

// The component raises its events through the Qt event loop of the thread
// that created it, so the tests run with an application object.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
