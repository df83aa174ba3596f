#pragma once
// A checkable button bound to one on/off parameter of a device: pressing it writes 1 or 0, and
// whenever the model reports the parameter changed the button reads it back and shows the
// device's state. Enabled only while the device's watchdog reports it connected.
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

 signals:
  // A click whose write the device took, with the state written.
  void clicked(bool on);
  // A click whose write failed (refused or unanswered), with the state asked for; the button
  // is back in its previous state.
  void SwitchRefused(bool on);
  // The parameter was read back.
  void DataChanged(bool on);

 public slots:
  void SwitchPressed(bool on);
  void UpdateData(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                  const QVector<int>& roles = QVector<int>());

 private:
  void UpdateStyleSheet(bool state);

  Ui_OnOffWidget* ui_;
  bool inverted;
  ParameterModel* model_;
  TargetStatus* status_;
  ParamId id_;
  std::string on_text_;
  std::string off_text_;
};
