#pragma once
// The control panel's window: live telemetry read-outs and state labels, the power switch, the
// message pane, CSV logging, the connection watchdogs and build labels, and the File menu with
// the configuration windows.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QLabel>
#include <QMainWindow>
#include <QMetaType>
#include <QString>

#include "korvane/messages.h"
#include "korvane/packet_comms.h"
#include "log_pane.h"
#include "telemetry_backlog.h"

Q_DECLARE_METATYPE(TxAdcValues)
Q_DECLARE_METATYPE(RxAdcValues)

class ChargeConfig;
class QCloseEvent;
class QLCDNumber;
class NetworkConfig;
class OnOffWidget;
class OtaService;
class OtaUpdateDialog;
class ParameterModel;
class ParameterService;
class SetRxI2cAddressDialog;
class TargetStatus;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Registers TxAdcValues and RxAdcValues with Qt's meta-type system, so that the queued
  // telemetry signals can carry them. Call once before a window is built (start-up and tests).
  static void RegisterMetaTypes();

  // The maximum number of entries the message pane keeps; the oldest go first.
  static constexpr int kMaxLogEntries = LogPane::kMaxEntries;
  // The most telemetry records that wait for the GUI thread at a time; a record that comes while
  // this many wait is left out (counted, and said in the pane).
  static constexpr int kMaxWaitingRecords = TelemetryBacklog::kMaxWaiting;

  MainWindow(std::unique_ptr<PacketSink>&& sink, ParameterService& tx_params,
             ParameterService& rx_params, OtaService& ota, QWidget* parent);
  ~MainWindow() override;

  // Message pane entries at info, warning and error level; also written to the console. Both
  // show the text as one plain line (never as markup; no control characters, which could fake an
  // entry or reach the terminal).
  // Callable from any thread: they only log and queue the entry; entries from other threads
  // reach the pane within the next flush (50 ms), those of the GUI thread at once. When more
  // arrive than the pane can draw, the oldest waiting ones are left out of the pane (never more
  // wait than the pane keeps) and a warning entry says how many; the console has every line.
  void Log(const std::string& message);
  void LogWarn(const std::string& message);
  void LogError(const std::string& message);

  // Called by the telemetry listeners on the I/O thread: emit the queued telemetry signals, unless
  // kMaxWaitingRecords records wait for the GUI thread already.
  void SetAdcValues(const TxAdcValues& values);
  void SetAdcValues(const RxAdcValues& values);

  // One CSV row while logging is on.
  void LogAdc(const TxAdcValues& tx, const RxAdcValues& rx);

  // For the tests: what the window is built of.
  Ui_MainWindow* Form() const { return ui_; }
  ParameterModel* TxModel() const { return tx_model_; }
  ParameterModel* RxModel() const { return rx_model_; }
  TargetStatus* TxStatus() const { return tx_status_; }
  TargetStatus* RxStatus() const { return rx_status_; }
  OnOffWidget* PowerSwitch() const { return power_switch_; }
  ChargeConfig* ChargeConfigWindow() const { return charge_config_; }
  OtaUpdateDialog* OtaDialog() const { return ota_dialog_; }
  SetRxI2cAddressDialog* I2cDialog() const { return i2c_dialog_; }
  NetworkConfig* NetworkConfigDialog() const { return network_config_; }
  const QLabel& TxBuildLabel() const { return tx_build_label_; }
  const QLabel& RxBuildLabel() const { return rx_build_label_; }
  const QLabel& GuiBuildLabel() const { return gui_build_label_; }

 signals:
  // Appends the text as an info entry (through the pane's queue); may be emitted from any thread.
  void NewLogMessage(const QString& message);
  void NewTxAdcMessage(const TxAdcValues& values);
  void NewRxAdcMessage(const RxAdcValues& values);
  void TxAdcValuesUpdated(const TxAdcValues& values);
  void RxAdcValuesUpdated(const RxAdcValues& values);

 public slots:
  // Appends one info entry to the pane at once (GUI thread).
  void HandleLogMessage(QString message);
  void ChangeTxConnection(bool connected);
  void ChangeRxConnection(bool connected);
  void HandleTxAdcMessage(const TxAdcValues& values);
  void HandleRxAdcMessage(const RxAdcValues& values);

 protected:
  // Closing the window ends the program, as File > Exit does, whatever else is open.
  void closeEvent(QCloseEvent* event) override;

 private:
  void LogAt(LogPane::Level level, const std::string& message);
  void UpdateChargerSummary();
  void ChooseLogDirectory();
  void StartStopLogging(bool start);
  // Writes the rows not yet written (the file's own failure handling included).
  void WriteLogRows();
  // The same, unless more records wait and fewer than kMaxPendingCsv bytes of rows do.
  void WriteLogRowsUnlessRecordsWait();
  void PowerSwitchClicked(bool on);
  void MakePowerStateDefault();

  Ui_MainWindow* ui_;
  std::unique_ptr<PacketSink> sink_;
  ParameterService& tx_params_;
  ParameterService& rx_params_;
  ParameterModel* tx_model_;
  ParameterModel* rx_model_;
  ChargeConfig* charge_config_;
  OtaUpdateDialog* ota_dialog_;
  SetRxI2cAddressDialog* i2c_dialog_;
  NetworkConfig* network_config_;
  TargetStatus* tx_status_;
  TargetStatus* rx_status_;
  std::ofstream log_file_;
  // The CSV file's name, the size of what was written to it completely, and the rows not yet
  // written (while more records wait, rows are written together, up to kMaxPendingCsv bytes).
  std::string log_path_;
  std::uintmax_t log_size_ = 0;
  std::string log_rows_;
  TxAdcValues last_tx_{};
  RxAdcValues last_rx_{};
  float tx_power_ = 0;
  float batt_power_ = 0;
  int voltage_limit_ = 0;
  QLabel tx_build_label_;
  QLabel rx_build_label_;
  QLabel gui_build_label_;
  OnOffWidget* power_switch_ = nullptr;
  LogPane* pane_ = nullptr;
  // Telemetry records emitted to the GUI thread and not yet handled, and those left out.
  TelemetryBacklog* backlog_ = nullptr;
  // A reconnection attempt to a transmitter that does not answer holds the window for a
  // parameter time-out; after a failed one, records only update the display until this time.
  std::chrono::steady_clock::time_point tx_retry_at_{};
};
