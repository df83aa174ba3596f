// Entry point of every test executable: a Qt application object exists for the whole run, so
// tests can use event loops, timers and sockets.
#include <gtest/gtest.h>

#ifdef KORVANE_GUI_TEST
#include <QApplication>
using App = QApplication;
#else
#include <QCoreApplication>
using App = QCoreApplication;
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef KORVANE_GUI_TEST
  // Windows need no display: the build lists the tests without one (ctest sets the same).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
  App app(argc, argv);
  return RUN_ALL_TESTS();
}
