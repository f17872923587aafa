// Entry of the GUI test programs: one QApplication on the offscreen platform
// for all cases, so no display is needed.

#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt/ComMainForm.h"

int main(int argc, char** argv) {
  // A test may bring its own offscreen screens (a configuration file).
  if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QStringLiteral("offscreen")))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication application(argc, argv);
  mx::SetUpApplication();  // as the program does
  return RUN_ALL_TESTS();
}
