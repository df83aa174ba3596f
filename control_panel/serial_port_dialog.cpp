#include "serial_port_dialog.h"

#include "ui_serial_port_dialog.h"

namespace {
const char kSerialExample[] = "Example: Windows: COM1 Linux: /dev/ttyUSB0";
const char kNetworkExample[] = "Example: 192.168.1.50:5000";
}  // namespace

SerialPortDialog::SerialPortDialog(QDialog* parent)
    : QDialog(parent), ui_(new Ui_SerialPortDialog) {
  ui_->setupUi(this);
  connect(this, &QDialog::accepted, this, &SerialPortDialog::DialogAccept);
  ui_->inputInterfaceText->setFocus();
  // Checked before the handlers exist: the form's placeholder is the serial example already.
  ui_->radioSerial->setChecked(true);
  connect(ui_->radioNetwork, &QRadioButton::toggled, this, [this](bool checked) {
    if (checked) ui_->inputInterfaceText->setPlaceholderText(kNetworkExample);
  });
  connect(ui_->radioSerial, &QRadioButton::toggled, this, [this](bool checked) {
    if (checked) ui_->inputInterfaceText->setPlaceholderText(kSerialExample);
  });
}

SerialPortDialog::~SerialPortDialog() { delete ui_; }

uint8_t SerialPortDialog::GetInterfaceType() const { return interface_type_; }

std::string SerialPortDialog::GetInterfaceString() const { return interface_text_; }

void SerialPortDialog::DialogAccept() {
  if (ui_->radioNetwork->isChecked()) {
    interface_type_ = 2;
  } else if (ui_->radioSerial->isChecked()) {
    interface_type_ = 1;
  }
  interface_text_ = ui_->inputInterfaceText->text().toStdString();
}
