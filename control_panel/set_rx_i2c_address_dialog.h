#pragma once
// Sets the receiver's I2C address (1 to 127). Confirm writes, stages and commits it and asks
// the user to restart the receiver; Cancel only hides the window. A top-level window of its own.
#include <memory>

#include <QWidget>

class ParameterModel;
class Ui_SetRxI2cAddressDialog;

class SetRxI2cAddressDialog : public QWidget {
  Q_OBJECT

 public:
  // parent is not used: the window has no Qt parent.
  SetRxI2cAddressDialog(QWidget* parent, ParameterModel& model);
  ~SetRxI2cAddressDialog() override;

  // For the tests: what the window is built of.
  Ui_SetRxI2cAddressDialog* Form() const { return ui_.get(); }

 public slots:
  void ConfirmClicked();

 private:
  std::unique_ptr<Ui_SetRxI2cAddressDialog> ui_;
  ParameterModel* model_;
};
