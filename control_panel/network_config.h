#pragma once
// The transmitter's Ethernet settings: DHCP, IP address, subnet mask, gateway and DNS server,
// with its MAC address for reference. Reloads the settings when it is shown (a setting whose read
// failed is shown empty or unknown); Ok writes, stages and commits them and logs the outcome on
// the console (a failure is also shown in a message box); Cancel closes without writing.
#include <memory>

#include <QDialog>

class ParameterModel;
class QShowEvent;
class Ui_NetworkConfig;

class NetworkConfig : public QDialog {
  Q_OBJECT

 public:
  NetworkConfig(ParameterModel* model, QDialog* parent);
  ~NetworkConfig() override;

  // Loads the seven Ethernet parameters into the form.
  void UpdateData();
  // Writes the four addresses and the DHCP switch (not while it is unknown). Every write is
  // made; true when all succeeded. A field that is not a complete address is not written and
  // counts as a failure.
  bool SetParameterNetworkConfiguration();

  // For the tests: what the dialog is built of.
  Ui_NetworkConfig* Form() const { return ui_.get(); }

 public slots:
  void accept() override;
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // False while DHCP shows as unknown: its read failed and the user has not set it.
  bool DhcpKnown() const;

  ParameterModel* model_;
  std::unique_ptr<Ui_NetworkConfig> ui_;
};
