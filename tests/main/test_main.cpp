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
  // Listing the tests (done by the build) needs no application: no display, and no platform
  // plugin whose leaks a sanitizer build would report without the test run's suppressions.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
#ifdef KORVANE_GUI_TEST
  // Windows need no display (ctest sets the same).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
  App app(argc, argv);
  return RUN_ALL_TESTS();
}
