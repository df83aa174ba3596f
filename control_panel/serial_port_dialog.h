#pragma once
// The small modal dialog in which the user chooses the link to the transmitter: a serial port
// (a device name) or a network connection (host, colon, port). It opens and checks nothing; the
// caller reads the choice once exec() has returned Accepted.
#include <cstdint>
#include <string>

#include <QDialog>

class Ui_SerialPortDialog;

class SerialPortDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SerialPortDialog(QDialog* parent);
  ~SerialPortDialog() override;

  // 0 until accepted, then 1 (serial port) or 2 (network).
  uint8_t GetInterfaceType() const;
  // The text as typed, empty until accepted.
  std::string GetInterfaceString() const;

 public slots:
  // Records the choice; runs on the dialog's own accepted signal.
  void DialogAccept();

 private:
  Ui_SerialPortDialog* ui_;
  std::string interface_text_;
  uint8_t interface_type_ = 0;
};
