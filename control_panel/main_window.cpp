#include "main_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QLCDNumber>
#include <QMessageBox>
#include <QPalette>
#include <QStatusBar>

#include "build_info.h"
#include "charge_config.h"
#include "device_text.h"
#include "kovra/log.h"
#include "kovra/parameter_service.h"
#include "network_config.h"
#include "on_off_widget.h"
#include "ota_update_dialog.h"
#include "parameter_model.h"
#include "set_rx_i2c_address_dialog.h"
#include "target_status.h"
#include "telemetry_backlog.h"
#include "tsan_handoff.h"
#include "ui_main_window.h"

// Resources of a static library must be registered by name, outside any namespace.
static void InitResources() { Q_INIT_RESOURCE(korvane); }

namespace {

constexpr ParamId kMaxCurrent = static_cast<ParamId>(34);     // mA
constexpr ParamId kVoltageLimit = static_cast<ParamId>(36);   // mV
constexpr ParamId kBuildHash = static_cast<ParamId>(38);
constexpr ParamId kGateDriver = static_cast<ParamId>(13);
constexpr ParamId kChargingOn = static_cast<ParamId>(60);
constexpr ParamId kCells = static_cast<ParamId>(62);
constexpr ParamId kCellVoltage = static_cast<ParamId>(63);   // mV per cell

// While telemetry records wait for the GUI thread, CSV rows are written together, up to this
// many bytes; otherwise each row is written as its record is handled.
constexpr std::size_t kMaxPendingCsv = 64 * 1024;

// After a failed transmitter reconnection, the next attempt waits this long.
constexpr std::chrono::seconds kTxRetryPause(5);

// Two decimals; a value whose text does not fit the read-out shows a dash in every digit rather
// than a number with its leading digits cut off.
void ShowReading(QLCDNumber* lcd, double value) {
  QString text = QString::fromStdString(fmt::format("{:3.2f}", value));
  const int width = lcd->smallDecimalPoint() ? text.size() - text.count('.') : text.size();
  if (width > lcd->digitCount()) text = QString(lcd->digitCount(), QLatin1Char('-'));
  lcd->display(text);
}

QString BuildText(const char* prefix, uint32_t build) {
  return QString::fromStdString(fmt::format("{}{:08x}", prefix, build));
}

struct StateLook {
  const char* text;
  const char* style;
};

// Charge states by their number; any other number shows as an error.
constexpr StateLook kTxStates[] = {{"Off", "color: #aa0000;"},     {"Heartbeat", "color: orange;"},
                                   {"Ramp Up", "color: yellow;"},  {"Charging", "color: #00ff00;"},
                                   {"Done", "color: #21c3f4;"}};
constexpr StateLook kRxStates[] = {
    {"Off", "color: #aa0000;"},          {"Ramp Up", "color: yellow;"},
    {"Const Current", "color: #b2ff00;"}, {"Const Voltage", "color: #00ff44;"},
    {"Batt Full", "color: #21c3f4;"},     {"Stopping", "color: #d4aaff;"},
    {"Alarm", "color: #ff3f00;"},         {"Stabilizing", "color: #f49d41;"}};
constexpr StateLook kErrorState = {"Error", "color: red;"};

// Setting a style sheet parses it and polishes the widget again, even when it is unchanged:
// under a flood of telemetry that would be most of a record's cost, so only a change is set.
void SetStyle(QWidget* widget, QLatin1String style) {
  if (widget->styleSheet() != style) widget->setStyleSheet(style);
}

template <size_t N>
void ShowState(QLabel* label, const StateLook (&looks)[N], unsigned state) {
  const StateLook& look = state < N ? looks[state] : kErrorState;
  SetStyle(label, QLatin1String(look.style));
  label->setText(QLatin1String(look.text));
}

}  // namespace

void MainWindow::RegisterMetaTypes() {
  qRegisterMetaType<TxAdcValues>("TxAdcValues");
  qRegisterMetaType<RxAdcValues>("RxAdcValues");
}

MainWindow::MainWindow(std::unique_ptr<PacketSink>&& sink, ParameterService& tx_params,
                       ParameterService& rx_params, OtaService& ota, QWidget* parent)
    : QMainWindow(parent),
      ui_(new Ui_MainWindow),
      sink_(std::move(sink)),
      tx_params_(tx_params),
      rx_params_(rx_params),
      tx_model_(new ParameterModel(tx_params, this)),
      rx_model_(new ParameterModel(rx_params, this)),
      charge_config_(new ChargeConfig(rx_model_, this)),
      ota_dialog_(new OtaUpdateDialog(this, tx_params, rx_params, ota)),
      i2c_dialog_(new SetRxI2cAddressDialog(this, *rx_model_)),
      network_config_(new NetworkConfig(tx_model_, nullptr)),
      tx_status_(new TargetStatus("TX", this)),
      rx_status_(new TargetStatus("RX", this)),
      tx_build_label_(QStringLiteral("TX Build: "), this),
      rx_build_label_(QStringLiteral("RX Build: "), this),
      gui_build_label_(QStringLiteral("GUI Build: "), this) {
  InitResources();
  ui_->setupUi(this);
  pane_ = new LogPane(ui_->log_text, this);
  backlog_ = new TelemetryBacklog([this](const std::string& text) { LogWarn(text); }, this);
  connect(this, &MainWindow::NewLogMessage, this, &MainWindow::HandleLogMessage,
          Qt::AutoConnection);
  // A window of its own, though the main window owns it.
  charge_config_->setWindowFlags(Qt::Window);

  power_switch_ = new OnOffWidget(kChargingOn, tx_model_, tx_status_, false, "Transmitter On",
                                  "Transmitter Off", this);
  auto* switch_layout = new QGridLayout;
  switch_layout->addWidget(power_switch_);
  ui_->start_stop->setLayout(switch_layout);

  connect(rx_model_, &ParameterModel::dataChanged, rx_model_,
          [this] { UpdateChargerSummary(); }, Qt::DirectConnection);
  connect(ui_->log_dir_button, &QPushButton::clicked, ui_->log_dir_button,
          [this] { ChooseLogDirectory(); }, Qt::DirectConnection);
  connect(ui_->log_button, &QPushButton::toggled, ui_->log_button,
          [this](bool on) {
            ui_->log_button->setText(on ? tr("Stop &Logging") : tr("Start &Logging"));
          },
          Qt::DirectConnection);
  connect(ui_->log_button, &QPushButton::clicked, ui_->log_button,
          [this](bool on) { StartStopLogging(on); }, Qt::DirectConnection);
  connect(this, &MainWindow::NewTxAdcMessage, this, &MainWindow::HandleTxAdcMessage,
          Qt::QueuedConnection);
  connect(this, &MainWindow::NewRxAdcMessage, this, &MainWindow::HandleRxAdcMessage,
          Qt::QueuedConnection);
  connect(tx_status_, &TargetStatus::ConnectionChanged, this, &MainWindow::ChangeTxConnection,
          Qt::AutoConnection);
  connect(rx_status_, &TargetStatus::ConnectionChanged, this, &MainWindow::ChangeRxConnection,
          Qt::QueuedConnection);
  connect(power_switch_, &OnOffWidget::clicked, power_switch_,
          [this](bool on) { PowerSwitchClicked(on); }, Qt::DirectConnection);
  connect(ui_->actionE_xit, &QAction::triggered, ui_->actionE_xit,
          [] { QCoreApplication::exit(0); }, Qt::DirectConnection);
  connect(ui_->actionCharge_Config, &QAction::triggered, charge_config_, &QWidget::show);
  connect(ui_->actionFirmware_Update, &QAction::triggered, ota_dialog_, &QWidget::show);
  connect(ui_->actionSet_RX_I2C_Address, &QAction::triggered, i2c_dialog_, &QWidget::show);
  connect(ui_->actionNetwork_Configuration, &QAction::triggered, network_config_,
          &QWidget::show);
  connect(ui_->actionMake_current_power_state_default, &QAction::triggered,
          ui_->actionMake_current_power_state_default, [this] { MakePowerStateDefault(); },
          Qt::DirectConnection);

  const QString build = QStringLiteral(COMMIT_HASH).left(8);
  gui_build_label_.setText(QStringLiteral("GUI Build: %1").arg(build));
  statusBar()->addPermanentWidget(&gui_build_label_, 0);
  statusBar()->addPermanentWidget(&tx_build_label_, 0);
  statusBar()->addPermanentWidget(&rx_build_label_, 0);
  statusBar()->addPermanentWidget(tx_status_->GetLabel(), 0);
  statusBar()->addPermanentWidget(rx_status_->GetLabel(), 0);
}

MainWindow::~MainWindow() {
  // The windows without a Qt parent are the window's own to release.
  delete network_config_;
  delete i2c_dialog_;
  delete ota_dialog_;
  if (log_file_.is_open()) {
    log_file_ << log_rows_;
    log_file_.close();
  }
  delete ui_;
}

// ---- Message pane ----

void MainWindow::Log(const std::string& message) { LogAt(LogPane::Level::kInfo, message); }

void MainWindow::LogWarn(const std::string& message) { LogAt(LogPane::Level::kWarning, message); }

void MainWindow::LogError(const std::string& message) { LogAt(LogPane::Level::kError, message); }

void MainWindow::LogAt(LogPane::Level level, const std::string& message) {
  static constexpr spdlog::level::level_enum kConsoleLevels[] = {
      spdlog::level::info, spdlog::level::warn, spdlog::level::err};
  CleanText text = CleanLine(message);
  kovra::GetLog()->log(kConsoleLevels[static_cast<int>(level)], text.console);
  pane_->Queue(level, std::move(text.pane));
}

void MainWindow::HandleLogMessage(QString message) {
  pane_->Queue(LogPane::Level::kInfo, OneLine(std::move(message)));
}

// ---- Connections ----

void MainWindow::ChangeTxConnection(bool connected) {
  tx_params_.Enable(connected);
  if (!connected) return;
  ParameterModel::ReadPass pass(*tx_model_);
  try {
    tx_model_->UpdateModel();
    const uint32_t build = tx_model_->data(kBuildHash).toUInt();
    tx_build_label_.setText(BuildText("TX Build: ", build));
  } catch (const std::runtime_error& e) {
    LogWarn(fmt::format("MainWindow::ChangeTxConnection - TX reconnection model update failed: {}",
                        e.what()));
    tx_retry_at_ = std::chrono::steady_clock::now() + kTxRetryPause;
    tx_status_->SetConnected(false);
  }
}

void MainWindow::ChangeRxConnection(bool connected) {
  rx_params_.Enable(connected);
  ui_->actionCharge_Config->setEnabled(connected);
  if (!connected) return;
  // One pass for the refresh and everything it starts: each value is read once, and a receiver
  // that does not answer costs one time-out.
  ParameterModel::ReadPass pass(*rx_model_);
  try {
    rx_model_->RefreshModel();
    const uint32_t build = rx_model_->data(kBuildHash).toUInt();
    rx_build_label_.setText(BuildText("RX Build: ", build));
  } catch (const std::runtime_error& e) {
    kovra::GetLog()->warn(
        "MainWindow::ChangeRxConnection - RX reconnection model refresh failed: {}", e.what());
  }
}

// ---- Telemetry ----

void MainWindow::SetAdcValues(const TxAdcValues& values) {
  if (!backlog_->MayWait()) return;
  QueuedEmission emission;
  emit NewTxAdcMessage(values);
}

void MainWindow::SetAdcValues(const RxAdcValues& values) {
  if (!backlog_->MayWait()) return;
  QueuedEmission emission;
  emit NewRxAdcMessage(values);
}

void MainWindow::HandleTxAdcMessage(const TxAdcValues& tx) {
  backlog_->Handled();
  if (tx_status_->IsConnected() || std::chrono::steady_clock::now() >= tx_retry_at_) {
    tx_status_->SetConnected(true);
  }
  if (tx.plvl < 2 && last_tx_.plvl >= 2) LogWarn("Maximum TX Power reached!!!");

  const float p5 = tx.vmon_5v * tx.imon_5v;
  const float ppa = tx.vmon_pa * tx.imon_pa;
  const float p12 = tx.vmon_12v * tx.imon_12v;
  tx_power_ = p5 + (ppa + p12);

  const bool max_power = (tx.plvl & 0xFF) <= 1;
  const QColor colour = max_power ? QColor(255, 20, 40) : QColor(20, 255, 40);
  if (ui_->reading_tx_power->palette().color(QPalette::WindowText) != colour) {
    QPalette palette = ui_->reading_tx_power->palette();
    palette.setColor(QPalette::WindowText, colour);
    ui_->reading_tx_power->setPalette(palette);
  }
  ShowReading(ui_->reading_tx_power, tx_power_);

  const float efficiency = 100.0f * batt_power_ / tx_power_;
  if (tx.charge_state == 3) {
    ShowReading(ui_->reading_efficiency, efficiency);
  } else {
    ui_->reading_efficiency->display(QStringLiteral("--"));
  }
  ShowState(ui_->label_tx_state, kTxStates, tx.charge_state);

  last_tx_ = tx;
  WriteLogRowsUnlessRecordsWait();
  emit TxAdcValuesUpdated(tx);
}

void MainWindow::HandleRxAdcMessage(const RxAdcValues& rx) {
  backlog_->Handled();
  last_rx_ = rx;
  LogAdc(last_tx_, last_rx_);
  rx_status_->SetConnected(true);
  batt_power_ = rx.vmon_battery * rx.imon_battery;

  ShowReading(ui_->reading_battery_voltage, rx.vmon_battery);
  const bool at_limit = rx.vmon_battery > (voltage_limit_ - 1) / 1000.0;
  SetStyle(ui_->reading_battery_voltage,
           at_limit ? QLatin1String("color: rgb(20, 255, 40); background-color: rgb(60, 180, 40)")
                    : QLatin1String("color: rgb(20, 255, 40); background-color: rgb(60, 40, 40)"));
  ShowReading(ui_->reading_battery_current, rx.imon_battery);
  ShowReading(ui_->reading_battery_power,
              static_cast<double>(rx.vmon_battery) * static_cast<double>(rx.imon_battery));
  ShowReading(ui_->reading_rectified_voltage, rx.vmon_rectified);
  ShowState(ui_->label_rx_state, kRxStates, rx.charge_state);

  emit RxAdcValuesUpdated(rx);
}

void MainWindow::UpdateChargerSummary() {
  ParameterModel::ReadPass pass(*rx_model_);
  const int current = rx_model_->data(kMaxCurrent).toInt();
  const int limit = rx_model_->data(kVoltageLimit).toInt();
  const int cells = rx_model_->data(kCells).toInt();
  const int cell_mv = rx_model_->data(kCellVoltage).toInt();
  voltage_limit_ = limit;
  ui_->config_info->setText(QString::fromStdString(fmt::format(
      "{:d} Cells @ {:3.2f}V\nVoltage Limit: {:3.2f}V\nCurrent Limit: {:3.2f}A", cells,
      cell_mv / 1000.0, limit / 1000.0, current / 1000.0)));
}

// ---- CSV log ----

void MainWindow::ChooseLogDirectory() {
  const QString dir = QFileDialog::getExistingDirectory(this, tr("Open Directory"), QString(),
                                                        QFileDialog::ShowDirsOnly);
  if (!dir.isEmpty()) ui_->log_dir_edit->setText(dir);
}

void MainWindow::StartStopLogging(bool start) {
  if (start) {
    const std::string dir = ui_->log_dir_edit->text().toStdString();
    const std::string time =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy_MM_dd_HH_mm_ss")).toStdString();
    // An earlier log is never emptied: a start within the same second takes the next free name.
    std::string stamp = time;
    std::string name;
    int fd = -1;
    for (int n = 2;; ++n) {
      name = fmt::format("{}/korvane_{}.csv", dir, stamp);
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0 || errno != EEXIST || n > 1000) break;
      stamp = fmt::format("{}_{}", time, n);
    }
    if (fd >= 0) {
      ::close(fd);
      log_file_.open(name, std::ios::out | std::ios::trunc);
    }
    if (log_file_.is_open() && log_file_.good()) {
      backlog_->SetCsvLogging(true);
      log_path_ = name;
      log_size_ = 0;
      Log(fmt::format("Logging started to {}/korvane_{}.csv", dir, stamp));
      log_rows_ = "Ticks,VPA,IPA,VGD,IGD,VRect,VBatt,IBatt,VCharge,ICharge,ChargeState,PLvl\n";
      WriteLogRows();
    } else {
      if (log_file_.is_open()) log_file_.close();
      log_file_.clear();
      LogWarn(fmt::format("'{}' is an invalid logging directory", dir));
      ui_->log_button->setChecked(false);
    }
    // A header that could not be written has stopped logging already.
    ui_->log_dir_edit->setEnabled(!log_file_.is_open());
    ui_->log_dir_button->setEnabled(!log_file_.is_open());
    return;
  }
  backlog_->SetCsvLogging(false);
  if (log_file_.is_open()) {
    WriteLogRows();
    // Rows that could not be written have stopped logging, and said so, already.
    if (!log_file_.is_open()) return;
    log_file_.close();
  }
  log_file_.clear();
  Log("Logging stopped");
  ui_->log_dir_edit->setEnabled(true);
  ui_->log_dir_button->setEnabled(true);
}

void MainWindow::LogAdc(const TxAdcValues& tx, const RxAdcValues& rx) {
  if (!log_file_.is_open()) return;
  std::ostringstream row;
  row << tx.count << ',' << tx.vmon_pa << ',' << tx.imon_pa << ',' << tx.vmon_gate_driver << ','
      << tx.imon_gate_driver << ',' << rx.vmon_rectified << ',' << rx.vmon_battery << ','
      << rx.imon_battery << ',' << rx.vmon_battery_prog << ',' << rx.imon_charger << ','
      << static_cast<unsigned>(tx.charge_state) << ',' << static_cast<unsigned>(tx.plvl) << '\n';
  log_rows_ += row.str();
  WriteLogRowsUnlessRecordsWait();
}

void MainWindow::WriteLogRowsUnlessRecordsWait() {
  if (log_rows_.empty()) return;
  if (!backlog_->RecordsWait() || log_rows_.size() >= kMaxPendingCsv) {
    WriteLogRows();
  }
}

// Rows are flushed as they are written, so that a crash or a power cut loses no more than the
// rows being written: one row, or while records wait for the window, those written together.
// Rows that cannot be written (a full disk, an I/O error) stop logging as the button does, with
// an error in the pane; the file keeps every row that reached it whole and no part of another.
void MainWindow::WriteLogRows() {
  if (log_rows_.empty()) return;
  errno = 0;
  log_file_ << log_rows_;
  log_file_.flush();
  if (log_file_.good()) {
    log_size_ += log_rows_.size();
    log_rows_.clear();
    return;
  }
  const int error = errno;
  log_file_.close();
  log_file_.clear();
  std::error_code ignored;
  const std::uintmax_t on_disk = std::filesystem::file_size(log_path_, ignored);
  std::uintmax_t keep = log_size_;
  for (std::size_t end = log_rows_.find('\n'); end != std::string::npos;
       end = log_rows_.find('\n', end + 1)) {
    if (on_disk == static_cast<std::uintmax_t>(-1) || log_size_ + end + 1 > on_disk) break;
    keep = log_size_ + end + 1;
  }
  log_rows_.clear();
  std::filesystem::resize_file(log_path_, keep, ignored);
  LogError(fmt::format("Could not write to {}: {}", log_path_,
                       error != 0 ? std::strerror(error) : "write error"));
  ui_->log_button->setChecked(false);
  StartStopLogging(false);
}

// ---- Power switch and menu ----

void MainWindow::closeEvent(QCloseEvent* event) {
  QMainWindow::closeEvent(event);
  if (event->isAccepted()) QCoreApplication::exit(0);
}

// The switch has written parameter 60 and read it back before its click arrives here. Only a
// transmitter that holds the state asked for gets the gate driver write, and only a checked
// gate driver write counts as turning wireless power on.
void MainWindow::PowerSwitchClicked(bool on) {
  using Outcome = OnOffWidget::PressOutcome;
  const char* state = on ? "on" : "off";
  // Says why a write did not switch: the transmitter refused it, did not answer, or was never
  // asked (it does not list the parameter, or it is not connected).
  auto name = [](ParamId id) {
    return fmt::format(
        "parameter {} \"{}\"", static_cast<int>(id),
        QString::fromStdString(ParameterService::GetParameterName(id)).trimmed().toStdString());
  };
  auto not_sent = [&](ParamId id) {
    return tx_model_->ParamIdToIndex(id).isValid()
               ? "is not connected; nothing was sent for " + name(id)
               : "has no " + name(id) + "; nothing was sent";
  };
  auto not_turned = [&](Outcome why, ParamId id) {
    const std::string what =
        why == Outcome::kNotSent
            ? not_sent(id)
            : (why == Outcome::kUnanswered ? "did not answer for " : "refused ") + name(id);
    LogError(fmt::format("Wireless power was not turned {}: the transmitter {}", state, what));
  };
  const Outcome outcome = power_switch_->LastPress();
  if (outcome != Outcome::kTaken) {
    not_turned(outcome, kChargingOn);
    return;
  }
  if (on &&
      !tx_model_->setData(tx_model_->ParamIdToIndex(kGateDriver), QVariant(0), Qt::EditRole)) {
    if (tx_model_->LastRequestNotSent()) {
      // The transmitter did take 60: only the gate driver write is missing.
      LogError(fmt::format("The transmitter took {}, but {}", name(kChargingOn),
                           not_sent(kGateDriver)));
      return;
    }
    not_turned(tx_model_->LastRequestTimedOut() ? Outcome::kUnanswered : Outcome::kRefused,
               kGateDriver);
    return;
  }
  Log(fmt::format("Turning {} wireless power", state));
}

// An unreadable state is reported as a failure: the box must not claim "off" for a state it
// could not read. Staging and committing are still attempted.
void MainWindow::MakePowerStateDefault() {
  const QVariant value = tx_model_->data(kChargingOn);
  const bool on = value.toInt() != 0;
  const bool staged = tx_model_->stageParameter(kChargingOn);
  const bool committed = tx_model_->commitStagedParameters();
  const bool saved = value.isValid() && staged && committed;

  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setStandardButtons(QMessageBox::Ok);
  if (saved) {
    box->setWindowTitle(tr("Information"));
    box->setText(tr("The transmitter will now be <b>%1</b> when it is plugged in after being off.")
                     .arg(on ? QStringLiteral("on") : QStringLiteral("off")));
    box->setIcon(QMessageBox::Information);
  } else {
    box->setWindowTitle(tr("Error"));
    box->setText(tr("The parameter was not saved successfully. Your system may not support "
                    "saving the default charging state."));
    box->setIcon(QMessageBox::Critical);
  }
  box->exec();
}
