// The file-dialog filters as the toolkit spells them.

#include <gtest/gtest.h>

#include "app/qt_dialogs.h"

namespace facset {
namespace {

TEST(QtFileFilter, Conversion) {
  EXPECT_EQ(QtFileFilter("*.ini|*.ini").toStdString(), "*.ini (*.ini)");
  EXPECT_EQ(QtFileFilter("*.ini").toStdString(), "*.ini (*.ini)");
  EXPECT_EQ(QtFileFilter("Binary Files|*.hex|All Files|*.*").toStdString(), "Binary Files (*.hex);;All Files (*)");
  EXPECT_EQ(QtFileFilter("Both|*.a;*.b").toStdString(), "Both (*.a *.b)");
}

}  // namespace
}  // namespace facset
