#include "set_rx_i2c_address_dialog.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegExp>
#include <QRegExpValidator>

#include "parameter_model.h"
#include "ui_set_rx_i2c_address_dialog.h"

namespace {

constexpr ParamId kI2cAddress = static_cast<ParamId>(61);
constexpr int kMinAddress = 1;
constexpr int kMaxAddress = 127;

}  // namespace

SetRxI2cAddressDialog::SetRxI2cAddressDialog(QWidget* /*parent*/, ParameterModel& model)
    : QWidget(nullptr), ui_(std::make_unique<Ui_SetRxI2cAddressDialog>()), model_(&model) {
  ui_->setupUi(this);
  // 1 to 127 in decimal, without leading zeros.
  ui_->set_address_edit->setValidator(new QRegExpValidator(
      QRegExp("[1-9]|[1-9][0-9]|1[0-1][0-9]|12[0-7]", Qt::CaseSensitive), ui_->set_address_edit));
  connect(ui_->set_address_confirm_button, &QPushButton::clicked, this,
          &SetRxI2cAddressDialog::ConfirmClicked);
  connect(ui_->set_address_cancel_button, &QPushButton::clicked, this,
          &SetRxI2cAddressDialog::hide);
}

SetRxI2cAddressDialog::~SetRxI2cAddressDialog() = default;

void SetRxI2cAddressDialog::ConfirmClicked() {
  hide();
  const int address = ui_->set_address_edit->text().toInt(nullptr, 10);
  if (address < kMinAddress || address > kMaxAddress) {
    QMessageBox::critical(this, "Error", "Please enter an I2C address from 1 to 127.",
                          QMessageBox::Ok);
    return;
  }
  if (!model_->setData(kI2cAddress, QVariant(address), Qt::EditRole)) {
    QMessageBox::critical(this, "Error", "Error setting I2C Address on RX.", QMessageBox::Ok);
    return;
  }
  // Stage and commit are both requested; the address only counts as set once the receiver has
  // saved it.
  bool saved = model_->stageParameter(kI2cAddress);
  saved = model_->commitStagedParameters() && saved;
  if (saved) {
    QMessageBox::information(this, "Information",
                             "Please restart the RX device for changes to take effect.",
                             QMessageBox::Ok);
  } else {
    QMessageBox::critical(this, "Error", "Error setting I2C Address on RX.", QMessageBox::Ok);
  }
}
