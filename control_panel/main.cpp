// korvane_gui: the Korvane Control Panel.
#include <csignal>
#include <memory>

#include <QApplication>
#include <QCoreApplication>

#include "build_info.h"
#include "command_line.h"
#include "kovra/log.h"
#include "main_window.h"
#include "startup.h"

int main(int argc, char** argv) {
  // Standard output may be a pipe whose reader ends (`korvane_gui | head`, a pager that was
  // quit): a console line written then fails with EPIPE and is dropped, instead of SIGPIPE
  // ending the window, a firmware update or the headless command halfway. Before anything
  // writes, the help text included.
  std::signal(SIGPIPE, SIG_IGN);

  // The queued telemetry signals carry these records from the I/O thread.
  MainWindow::RegisterMetaTypes();

  // Help, version and a command line that does not fit end the process here.
  const auto args = ParseCommandLine(argc, argv);

  // Registered as "console", so that every part of the program logs through this one.
  const std::shared_ptr<spdlog::logger> log = kovra::CreateConsoleLogger();
  log->info("Korvane Host Control Panel");
  log->info("Build Hash: {}", COMMIT_HASH);

  const bool offscreen = UseOffscreenPlatformForCommand(args);
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
  QApplication app(argc, argv);

  if (!offscreen) return RunControlPanel(args, GuiGetInterface);
  // Nobody sees an interface dialog on the offscreen platform: a link that does not open ends
  // the command as failed instead of waiting for ever.
  bool no_link = false;
  const auto no_dialog = [&log, &no_link] {
    log->error("No display to ask for another link: the command was not sent");
    no_link = true;
    GuiInterfaceSelection cancelled;
    cancelled.cancelled = true;
    return cancelled;
  };
  const int status = RunControlPanel(args, no_dialog);
  return no_link ? 1 : status;
}
