#pragma once
// A checkable button bound to one on/off parameter of a device: pressing it writes 1 or 0, and
// whenever the model reports the parameter changed the button reads it back and shows the
// device's state. A write that fails is read back too: its answer may have been lost although
// the device applied it; one that was never sent is simply undone. Enabled only while the
// device's watchdog reports it connected.
#include <string>

#include <QModelIndex>
#include <QVector>
#include <QWidget>

#include "korvane/param_ids.h"

class ParameterModel;
class TargetStatus;
class Ui_OnOffWidget;

class OnOffWidget : public QWidget {
  Q_OBJECT

 public:
  OnOffWidget(ParamId id, ParameterModel* model, TargetStatus* status, bool inverted,
              const std::string& on_text, const std::string& off_text, QWidget* parent);
  ~OnOffWidget() override;

  Ui_OnOffWidget* Form() const { return ui_; }

  // What became of a press: the device holds the state asked for (its write was taken, or the
  // read-back after a failed write shows it), or the write was refused, or went unanswered, or
  // was never sent (the model lacks the parameter, or its service is disabled).
  enum class PressOutcome { kTaken, kRefused, kUnanswered, kNotSent };
  // The outcome of the last press; meaningful once the button has been pressed.
  PressOutcome LastPress() const { return last_press_; }

 signals:
  // Every press, with the state asked for, once its write and read-back are done (see
  // LastPress).
  void clicked(bool on);
  // The parameter was read back.
  void DataChanged(bool on);

 public slots:
  void SwitchPressed(bool on);
  void UpdateData(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                  const QVector<int>& roles = QVector<int>());

 private:
  // Reads the parameter and shows it (an unreadable value shows off); returns the value.
  QVariant ShowDeviceState();
  void UpdateStyleSheet(bool state);

  Ui_OnOffWidget* ui_;
  bool inverted;
  ParameterModel* model_;
  TargetStatus* status_;
  ParamId id_;
  std::string on_text_;
  std::string off_text_;
  PressOutcome last_press_ = PressOutcome::kTaken;
};
