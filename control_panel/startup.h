#pragma once
// Start-up, wiring and shutdown of the control panel, and the headless command.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include <docopt/docopt.h>

class ParameterService;
class QThread;

// One choice of the link: from the command line or from the interface dialog.
struct GuiInterfaceSelection {
  bool cancelled = false;  // the dialog was rejected; type and text then mean nothing
  uint8_t type = 0;        // 0 none, 1 serial port, 2 TCP network address
  std::string text;        // port name, or host:port, exactly as typed
};

// Asks the user for a link with the interface dialog (modal, no parent).
GuiInterfaceSelection GuiGetInterface();

// Ends the thread's event loop; a thread that has not ended after 1000 ms is terminated.
void nice_quit_thread(QThread& thread);

// Console utilities: a byte in hexadecimal and a blank; the hint shown on Ctrl+C.
void HD(uint8_t byte);
void CtrlCHandler(int signal);

// Where a link comes from once the command line's choice is used up or has failed.
using InterfaceChooser = std::function<GuiInterfaceSelection()>;

// Everything that runs under the application object: chooses and opens the link (asking
// choose_interface until a link opens or it is cancelled), builds the services and the window,
// wires the router, starts the I/O thread, runs the window's event loop or the headless
// command, then stops the I/O thread and destroys what it built. The console logger and the
// QApplication must exist. Returns the program's exit status.
int RunControlPanel(const std::map<std::string, docopt::value>& args,
                    const InterfaceChooser& choose_interface);

// For the headless command on a machine without a screen (no DISPLAY, no WAYLAND_DISPLAY), as
// from a service, cron or ssh: selects Qt's offscreen platform, unless QT_QPA_PLATFORM names
// one, so that the hidden window can be built. Call before the QApplication exists. True when it
// selected it; false without "--command" or with a display or a platform chosen.
bool UseOffscreenPlatformForCommand(const std::map<std::string, docopt::value>& args);

// The headless command on an open link: txon or txoff sets the transmitter's "Enable Charging
// for Device". Returns the exit status: 0 done, 1 refused, failed or not a command.
int RunHeadlessCommand(const std::string& command, ParameterService& tx_params);
