// korvane_gui: the Korvane Control Panel.
#include <memory>

#include <QApplication>
#include <QCoreApplication>

#include "build_info.h"
#include "command_line.h"
#include "kovra/log.h"
#include "main_window.h"
#include "startup.h"

int main(int argc, char** argv) {
  // The queued telemetry signals carry these records from the I/O thread.
  MainWindow::RegisterMetaTypes();

  // Help, version and a command line that does not fit end the process here.
  const auto args = ParseCommandLine(argc, argv);

  // Registered as "console", so that every part of the program logs through this one.
  const std::shared_ptr<spdlog::logger> log = kovra::CreateConsoleLogger();
  log->info("Korvane Host Control Panel");
  log->info("Build Hash: {}", COMMIT_HASH);

  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
  QApplication app(argc, argv);

  return RunControlPanel(args, GuiGetInterface);
}
