#pragma once
// Firmware update window: the user picks an archive file and starts the update of both devices;
// the window stays busy until the update ends, shows the outcome in a message box and then
// quits the program. A top-level window of its own.
#include <memory>

#include <QWidget>

class OtaService;
class ParameterService;
class Ui_OtaUpdateDialog;

class OtaUpdateDialog : public QWidget {
  Q_OBJECT

 public:
  // parent is not used: the window has no Qt parent.
  OtaUpdateDialog(QWidget* parent, ParameterService& txParams, ParameterService& rxParams,
                  OtaService& ota);
  ~OtaUpdateDialog() override;

  // For the tests: what the window is built of.
  Ui_OtaUpdateDialog* Form() const { return ui_.get(); }

 signals:
  // Emitted on the update thread when the update has ended.
  void NewOtaUpdateCompleteMessage(bool success);

 public slots:
  // Starts the update with the archive named in the path field.
  void OtaUpdate();
  // Busy (controls disabled, endless progress bar) or idle.
  void UpdateInProgress(bool lock_gui);

 private:
  // Lets the update thread reach the window only while it exists.
  struct CompletionTarget;

  void ChooseFile();
  void UpdateComplete(bool success);

  std::unique_ptr<Ui_OtaUpdateDialog> ui_;
  ParameterService& txParams_;
  ParameterService& rxParams_;
  OtaService& ota_;
  std::shared_ptr<CompletionTarget> completion_;
};
