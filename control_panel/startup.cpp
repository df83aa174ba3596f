#include "startup.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <utility>

#include <QApplication>
#include <QThread>
#include <QtGlobal>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "kovra/io_thread.h"
#include "kovra/log.h"
#include "kovra/message_router.h"
#include "kovra/ota.h"
#include "kovra/parameter_service.h"
#include "kovra/stream_sink_sp.h"
#include "kovra/workers.h"
#include "main_window.h"
#include "packet_listeners.h"
#include "serial_port_dialog.h"

namespace {

constexpr uint8_t kSerialLink = 1;
constexpr uint8_t kTcpLink = 2;

// "Enable Charging for Device" on the transmitter.
constexpr ParamId kEnableCharging = static_cast<ParamId>(60);

// The entry's value when the option was given, otherwise null.
const docopt::value* Given(const std::map<std::string, docopt::value>& args,
                           const std::string& name) {
  const auto it = args.find(name);
  return it != args.end() && it->second ? &it->second : nullptr;
}

}  // namespace

GuiInterfaceSelection GuiGetInterface() {
  GuiInterfaceSelection selection;
  SerialPortDialog dialog(nullptr);
  if (dialog.exec() == QDialog::Accepted) {
    selection.cancelled = false;
    selection.text = dialog.GetInterfaceString();
    selection.type = dialog.GetInterfaceType();
  } else {
    selection.cancelled = true;
    selection.type = 0;
  }
  return selection;
}

bool UseOffscreenPlatformForCommand(const std::map<std::string, docopt::value>& args) {
  if (!Given(args, "--command")) return false;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (!qEnvironmentVariableIsEmpty(name)) return false;
  }
  return qputenv("QT_QPA_PLATFORM", "offscreen");
}

void nice_quit_thread(QThread& thread) {
  thread.quit();
  if (!thread.wait(1000)) {
    thread.terminate();
    thread.wait();
  }
}

void HD(uint8_t byte) { std::cout << std::hex << static_cast<unsigned>(byte) << ' ' << std::flush; }

void CtrlCHandler(int) { std::cerr << "Press any key to exit" << std::endl; }

int RunHeadlessCommand(const std::string& command, ParameterService& tx_params) {
  auto log = kovra::GetLog();
  std::string value;
  if (command == "txon") {
    value = "1";
  } else if (command == "txoff") {
    value = "0";
  } else {
    log->error("Invalid headless command");
    return 1;
  }
  log->info("Attempting headless command: {}", command);
  // Nothing enables the service without the window's watchdog, which needs the event loop.
  tx_params.Enable(true);
  try {
    tx_params.UpdateParametersList();
    if (tx_params.Set(kEnableCharging, value)) {
      log->info("Parameter Updated Successfully");
      return 0;
    }
    log->error("Parameter Update Failed");
  } catch (const std::runtime_error& e) {
    log->error("ParameterModel::setData - parameter service threw an exception: {}", e.what());
  }
  return 1;
}

int RunControlPanel(const std::map<std::string, docopt::value>& args,
                    const InterfaceChooser& choose_interface) {
  auto log = kovra::GetLog();
  auto router = std::make_unique<MessageRouter>();
  auto io_thread = std::make_unique<IoThread>();
  std::unique_ptr<TcpWorker> tcp_worker;
  std::unique_ptr<SerialWorker> serial_worker;

  // A link named on the command line is tried once; the serial port wins over the network.
  GuiInterfaceSelection command_line;
  command_line.type = 0;
  if (const auto* port = Given(args, "--serial-port")) {
    command_line.text = port->asString();
    command_line.type = kSerialLink;
  } else if (const auto* address = Given(args, "--network-address")) {
    command_line.text = address->asString();
    command_line.type = kTcpLink;
  }

  uint8_t link_type = 0;
  while (link_type == 0) {
    GuiInterfaceSelection attempt;
    if (command_line.type != 0) {
      attempt = command_line;
      command_line.type = 0;
    } else {
      attempt = choose_interface();
      if (attempt.cancelled) return 0;
    }
    try {
      if (attempt.type == kSerialLink) {
        serial_worker = std::make_unique<SerialWorker>(attempt.text, *router);
        link_type = kSerialLink;
      } else if (attempt.type == kTcpLink) {
        tcp_worker = std::make_unique<TcpWorker>(attempt.text, *router);
        link_type = kTcpLink;
      }
    } catch (const std::invalid_argument&) {
      log->warn(attempt.type == kSerialLink ? "Serial port did not respond"
                                            : "TCP Server did not respond");
    }
  }

  // The port or socket is the worker's Qt child and moves with it.
  if (serial_worker) serial_worker->moveToThread(io_thread.get());
  if (tcp_worker) tcp_worker->moveToThread(io_thread.get());
  auto factory = std::make_unique<StreamSinkFactory>(link_type == kSerialLink,
                                                     serial_worker.get(), tcp_worker.get());

  // The first service creates the shared request queue with its sink; the second service's
  // sink is never used.
  auto tx_params = std::make_unique<ParameterService>(TX, factory->Create(), *router, "?? Params");
  auto rx_sink = factory->Create();
  auto rx_params = std::make_unique<ParameterService>(RX, std::move(rx_sink), *router, "?? Params");
  rx_sink.reset();
  auto ota = std::make_unique<OtaService>(factory->Create());
  auto window = std::make_unique<MainWindow>(factory->Create(), *tx_params, *rx_params, *ota,
                                             nullptr);

  // The I/O thread reads the callback table without a lock: everything is added before it runs.
  OtaService& ota_ref = *ota;
  AddWindowListeners(*router, *window);
  router->AddCallback(ChannelDescriptor::OTA_CONTROL,
                   [&ota_ref](const PacketHeader& header, const std::vector<uint8_t>& payload) {
                     ota_ref.HandleControlPacket(header, payload);
                   });

  io_thread->start(QThread::InheritPriority);
  io_thread->WaitRunning();

  int status = 0;
  if (const auto* command = Given(args, "--command")) {
    status = RunHeadlessCommand(command->asString(), *tx_params);
  } else {
    window->show();
    status = QApplication::exec();
  }

  nice_quit_thread(*io_thread);
  io_thread->Ended();  // orders the thread's work before the destruction below

  // The update service goes first: its destructor stops a running update and waits for it,
  // so no completion reaches the window's firmware dialog once that is gone.
  ota.reset();
  window.reset();
  // No request may leave through a sink whose worker is gone.
  if (ParameterService::rpc_) ParameterService::rpc_->Stop();
  rx_params.reset();
  tx_params.reset();
  factory.reset();
  serial_worker.reset();
  tcp_worker.reset();
  io_thread.reset();
  router.reset();
  return status;
}
