// The configuration windows and the parameter widget, driven as a user drives them (typing,
// clicking, answering message boxes) against the simulated devices.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <tuple>

#include <QtTest>
#include <QtWidgets>

#include "charge_config.h"
#include "network_config.h"
#include "ota_update_dialog.h"
#include "parameter_model.h"
#include "parameter_widget.h"
#include "set_rx_i2c_address_dialog.h"
#include "support/device_fixture.h"
#include "support/log_capture.h"
#include "support/message_boxes.h"

namespace {

// Replaces a field's text as a user does: select all, delete, type.
void Type(QWidget* field, const QString& text) {
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}
void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

class DialogTest : public DeviceFixture {
 protected:
  void Wire() override {
    link_->Router().AddCallback(ChannelDescriptor::OTA_CONTROL,
                                [this](const PacketHeader& h, const std::vector<uint8_t>& d) {
                                  ota_->HandleControlPacket(h, d);
                                });
  }
  void SetUp() override {
    DeviceFixture::SetUp();
    tx_->Enable(true);
    rx_->Enable(true);
    tx_->UpdateParametersList();  // the Ethernet settings are not in the seed list
    tx_model_ = std::make_unique<ParameterModel>(*tx_, nullptr);
    rx_model_ = std::make_unique<ParameterModel>(*rx_, nullptr);
    sim_->ClearRecords();
  }
  void Unwire() override {
    window_.reset();
    tx_model_.reset();
    rx_model_.reset();
  }
  // A widget of the window's form, by object name.
  template <typename T = QLineEdit>
  T* W(const char* name) {
    T* child = window_->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  QAbstractButton* Ok() { return W<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Ok); }
  void Choose(int row) {  // a battery chemistry, with the keyboard
    QTest::keyClick(W<QComboBox>("rx_battery_chem_combo"), Qt::Key_Home);
    for (int i = 0; i < row; ++i)
      QTest::keyClick(W<QComboBox>("rx_battery_chem_combo"), Qt::Key_Down);
  }
  uint32_t Saved(Address device, int id) {
    uint32_t raw = 0xDEADBEEF;
    EXPECT_TRUE(sim_->GetSavedValue(device, P(id), &raw));
    return raw;
  }
  size_t Requests(Address device, ParamCmd command) {
    size_t n = 0;
    for (const auto& p : sim_->ParameterRequests(device)) n += p.command == command;
    return n;
  }

  LogCapture log_;  // attached before the threads start
  std::unique_ptr<ParameterModel> tx_model_, rx_model_;
  std::unique_ptr<QWidget> window_;
};

TEST_F(DialogTest, ChargePresetsSetTheLimitsAndTheFloatVoltageTurnsRedAbove36V) {
  const QLocale previous;  // the fields use "." whatever the user's locale
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  window_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
  QLocale::setDefault(previous);
  window_->show();
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"0.06 - 12.03V", "1 - 99", "12.030"}, {"3.00 - 4.20V", "3 - 8", "4.200"},
      {"0.49 - 1.55V", "8 - 23", "1.550"},   {"1.93 - 2.44V", "5 - 14", "2.440"},
      {"2.50 - 3.65V", "4 - 9", "3.650"},    {"3.00 - 4.35V", "3 - 6", "4.350"}};
  for (int row = 0; row < 6; ++row) {
    const auto& [range, cells, volts] = rows[row];
    Choose(row);
    EXPECT_EQ(W<QLabel>("label_cell_voltage")->text(),
              QString("Battery Cell Full Voltage (%1)").arg(range));
    EXPECT_EQ(W<QLabel>("label_number_cells")->text(),
              QString("Number of Battery Cells\n(%1)").arg(cells));
    EXPECT_EQ(W("batt_cell_full_voltage_edit")->text(), volts);
    EXPECT_TRUE(W("batt_cell_full_voltage_edit")->hasAcceptableInput());
  }
  Type(W("batt_cell_full_voltage_edit"), "4,2");
  EXPECT_NE(W("batt_cell_full_voltage_edit")->text(), "4,2");
  const std::tuple<int, const char*, const char*, const char*, const char*> floats[] = {
      {1, "8", "4.200", "33.600 V", "#000"},
      {0, "4", "12.030", "48.120 V", "#f00"},
      {0, "4", "9", "36.000 V", "#000"},
      {0, "4", "", "0.000 V", "#000"},  // a text that is not a number counts as 0
      {1, "8", ".", "0.000 V", "#000"}};
  for (const auto& [row, cells, volts, shown, color] : floats) {
    Choose(row);
    Type(W<QSpinBox>("number_cells_edit"), cells);
    Type(W("batt_cell_full_voltage_edit"), volts);
    EXPECT_EQ(W<QLabel>("label_float_voltage")->text(), shown);
    EXPECT_EQ(W<QLabel>("label_float_voltage")->styleSheet(), QString("color: %1;").arg(color));
  }
}

TEST_F(DialogTest, ChargeShowLoadsTheReceiversOwnValuesAndOnlyAPickedPresetReplacesThem) {
  window_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
  // Held chemistry, cells, mV; a refused read; a preset the user picked (with 5 cells) and
  // cancelled before the show; then the chemistry, cells, volts, amps and float voltage shown.
  const std::tuple<int, int, int, int, int, QStringList> shows[] = {
      {1, 6, 4100, 0, -1, {"Lithium Ion", "6", "4.100", "3.000", "24.600 V"}},
      {1, 6, 4100, 0, 2, {"Lithium Ion", "6", "4.100", "3.000", "24.600 V"}},
      {1, 6, 4100, 0, 0, {"Lithium Ion", "6", "4.100", "3.000", "24.600 V"}},
      {1, 2, 4300, 0, -1, {"Lithium Ion", "?", "4.300", "3.000", ""}},
      {9, 6, 4100, 0, -1, {"", "6", "4.100", "3.000", "24.600 V"}},
      {1, 6, 4100, 62, -1, {"Lithium Ion", "?", "4.100", "3.000", ""}},
      {1, 6, 4100, 63, -1, {"Lithium Ion", "6", "", "3.000", ""}},
      {1, 6, 4100, 34, -1, {"Lithium Ion", "6", "4.100", "", "24.600 V"}},
      {1, 6, 4100, 68, -1, {"", "6", "4.100", "3.000", "24.600 V"}}};
  for (const auto& [chemistry, cells, mv, refused, picked, shown] : shows) {
    for (const auto& [id, value] : {std::pair(68, chemistry), {62, cells}, {63, mv}, {34, 3000}})
      sim_->SetValue(RX, P(id), static_cast<uint32_t>(value));
    if (picked >= 0) {
      window_->show();
      Choose(picked);
      Type(W<QSpinBox>("number_cells_edit"), "5");  // NiCad puts 8 in view
      Click(W<QPushButton>("cancel_button"));
      EXPECT_FALSE(window_->isVisible());
    }
    sim_->SetStatusZero(RX, P(refused), true);
    sim_->ClearRecords();
    window_->show();
    sim_->SetStatusZero(RX, P(refused), false);
    std::vector<int> read;  // each of the four once, in the receiver's order
    for (const Parameter& p : sim_->ParameterRequests(RX)) read.push_back(p.id);
    EXPECT_EQ(read, std::vector<int>({63, 62, 34, 68}));
    const QStringList form = {
        W<QComboBox>("rx_battery_chem_combo")->currentText(),
        W<QSpinBox>("number_cells_edit")->text(), W("batt_cell_full_voltage_edit")->text(),
        W("charge_current_edit")->text(), W<QLabel>("label_float_voltage")->text()};
    EXPECT_EQ(form.join(", "), shown.join(", "));
    EXPECT_EQ(W<QLabel>("label_float_voltage")->styleSheet(), "color: #000;");
    EXPECT_EQ(W<QLabel>("label_number_cells")->text().endsWith("(1 - 99)"), shown[0].isEmpty());
    const bool held_is_valid = refused == 0 && cells == 6 && mv == 4100 && chemistry == 1;
    sim_->ClearRecords();
    Boxes boxes(QMessageBox::Yes);
    Click(W<QPushButton>("apply_button"));
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text.startsWith("Are you sure"), held_is_valid) << refused;
    EXPECT_EQ(Requests(RX, SET_PARAMETER), held_is_valid ? 4u : 0u);
    if (held_is_valid) Click(W<QPushButton>("cancel_button"));
    if (held_is_valid) continue;
    Choose(1);  // the user sets every field
    for (auto [field, text] : {std::pair("number_cells_edit", "7"),
                               {"batt_cell_full_voltage_edit", "4.15"},
                               {"charge_current_edit", "2.5"}})
      Type(W<QWidget>(field), text);
    Click(W<QPushButton>("ok_button"));
    EXPECT_EQ((std::vector<uint32_t>{Saved(RX, 68), Saved(RX, 62), Saved(RX, 63), Saved(RX, 34)}),
              (std::vector<uint32_t>{1, 7, 4150, 2500}));
  }
}

TEST_F(DialogTest, ChargeApplyChecksAsksThenWritesStagesAndCommits) {
  window_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
  const char* const incorrect = "One or more parameters are incorrect";
  using Values = std::vector<uint32_t>;  // saved chemistry, cells, mV, mA
  const std::tuple<int, const char*, const char*, const char*, bool, QMessageBox::StandardButton,
                   const char*, Values>
      cases[] = {
          {1, "8", "4.3", "1", false, QMessageBox::Yes, incorrect, {1, 6, 4200, 3000}},
          {1, "8", "4.2", "", true, QMessageBox::Yes, incorrect, {1, 6, 4200, 3000}},
          {1, "8", "4.2", "1", false, QMessageBox::No, "Are you sure", {1, 6, 4200, 3000}},
          {1, "8", "4.2", "0.25", false, QMessageBox::Yes, "Are you sure", {1, 8, 4200, 250}},
          {0, "4", "12.03", "10", true, QMessageBox::Yes, "Are you sure", {0, 4, 12030, 10000}}};
  for (const auto& [row, cells, volts, amps, ok, answer, box, saved] : cases) {
    window_->show();
    Choose(row);
    Type(W<QSpinBox>("number_cells_edit"), cells);
    Type(W("batt_cell_full_voltage_edit"), volts);
    Type(W("charge_current_edit"), amps);
    const size_t writes = Requests(RX, SET_PARAMETER);
    Boxes boxes(answer);
    Click(W<QPushButton>(ok ? "ok_button" : "apply_button"));
    ASSERT_EQ(boxes.seen.size(), 1u) << volts;
    EXPECT_TRUE(boxes.seen[0].text.startsWith(box));
    EXPECT_EQ(boxes.seen[0].window_shown, !ok);  // OK hides the window, then applies
    EXPECT_EQ(Requests(RX, SET_PARAMETER) - writes, saved[3] == 3000 ? 0u : 4u);
    EXPECT_EQ((Values{Saved(RX, 68), Saved(RX, 62), Saved(RX, 63), Saved(RX, 34)}), saved);
  }
}

TEST_F(DialogTest, ChargeApplyWritesWhatTheFormShowedWhenApplyWasPressed) {
  window_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
  auto reconnect = QObject::connect(qApp, &QApplication::focusChanged, [this](auto, QWidget* now) {
    auto* box = qobject_cast<QMessageBox*>(now ? now->window() : nullptr);
    if (box && box->icon() == QMessageBox::Warning) rx_model_->RefreshModel();
  });  // the receiver reconnects while the question is open
  using Values = std::vector<uint32_t>;  // saved chemistry, cells, mV
  // Chemistry, count typed, voltage, whether the user went to another application and back
  // before Apply, what is saved.
  const std::tuple<int, const char*, const char*, bool, Values> cases[] = {
      {2, "20", "1.45", false, {2, 20, 1450}},  {1, "0", "4.1", false, {2, 20, 1450}},
      {1, "", "4.1", false, {2, 20, 1450}},     {1, "99", "4.1", false, {2, 20, 1450}},
      {1, nullptr, "4.1", false, {1, 8, 4100}},  // the value the spin box put back, now in sight
      {1, "5", "4.015", false, {1, 5, 4015}},
      {1, "0", "4.1", true, {1, 5, 4100}},  // the value put back was in sight on return
      {1, "", "4.2", true, {1, 5, 4200}}};
  window_->show();
  for (const auto& [row, cells, volts, away, saved] : cases) {
    QApplication::setActiveWindow(window_.get());  // back from the last message box
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    QLineEdit* cells_text = W<QSpinBox>("number_cells_edit")->findChild<QLineEdit*>();
    if (cells) {  // else the form stays as the last refusal left it
      Choose(row);
      QTest::mouseClick(cells_text, Qt::LeftButton);
      Type(cells_text, cells);
    }
    Type(W("batt_cell_full_voltage_edit"), volts);
    if (away) {  // the window loses the focus as it does when another application is activated
      QApplication::setActiveWindow(nullptr);
      EXPECT_EQ(cells_text->text(), QString::number(saved[1]));
      QApplication::setActiveWindow(window_.get());
      ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    Boxes boxes(QMessageBox::Yes);
    Click(W<QPushButton>("apply_button"));  // takes the focus: the spin box restores its value
    ASSERT_EQ(boxes.seen.size(), 1u) << cells;
    EXPECT_EQ(boxes.seen[0].text.startsWith("Are you sure"), saved[0] == uint32_t(row)) << cells;
    EXPECT_EQ((Values{Saved(RX, 68), Saved(RX, 62), Saved(RX, 63)}), saved) << cells;
  }
  QObject::disconnect(reconnect);
}

TEST_F(DialogTest, TypedMillisIsTheNearestWholeThousandth) {
  for (const auto& [low, high] : {std::pair(3000, 4200), std::pair(250, 10000)}) {  // mV, mA
    for (int n = low; n <= high; ++n) {
      const QString text = QString("%1.%2").arg(n / 1000).arg(n % 1000, 3, 10, QChar('0'));
      ASSERT_EQ(TypedMillis(text), static_cast<uint32_t>(n)) << text.toStdString();
    }
  }
}

TEST_F(DialogTest, ChargeFormFollowsTheModelShownOrHiddenButNotWhileAsking) {
  window_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
  rx_model_->setData(P(34), QVariant(2000), Qt::EditRole);
  EXPECT_EQ(W("charge_current_edit")->text(), "2.000");  // hidden
  for (bool shown : {false, true}) {  // a refresh and a write, hidden and shown
    if (shown) window_->show();
    sim_->ClearRecords();
    rx_model_->RefreshModel();
    rx_model_->setData(P(34), QVariant(shown ? 1500 : 2000), Qt::EditRole);
    EXPECT_GT(Requests(RX, GET_PARAMETER), 0u);
    EXPECT_EQ(W("charge_current_edit")->text(), shown ? "1.500" : "2.000");
  }
  Type(W("charge_current_edit"), "1");
  QString asked;  // the form while the question is open and the model changes
  QTimer::singleShot(0, window_.get(), [&] {
    rx_model_->setData(P(34), QVariant(2500), Qt::EditRole);  // shows 2.500 when not asking
    asked = W("charge_current_edit")->text();
  });
  Boxes boxes(QMessageBox::No);
  Click(W<QPushButton>("apply_button"));
  EXPECT_EQ(asked, "1");
}

TEST_F(DialogTest, NetworkFailedReadIsShownUnknownAndNeverWritten) {
  window_ = std::make_unique<NetworkConfig>(tx_model_.get(), nullptr);
  // The read the transmitter refuses, whether the user then sets DHCP, what Ok says.
  const std::tuple<int, bool, const char*> cases[] = {
      {45, false, "IP Address is not a complete address"}, {49, false, ""}, {49, true, ""}};
  for (const auto& [refused, click_dhcp, box] : cases) {
    sim_->SetStatusZero(TX, P(refused), true);
    window_->show();
    sim_->SetStatusZero(TX, P(refused), false);
    sim_->ClearRecords();
    EXPECT_EQ(W("eth_ip_addr_edit")->text().isEmpty(), refused == 45);
    auto* dhcp = W<QCheckBox>("eth_use_dhcp_check");
    EXPECT_EQ(dhcp->checkState() == Qt::PartiallyChecked, refused == 49);
    if (click_dhcp) Click(dhcp);
    Type(W("eth_dns_edit"), "8.8.4.4");
    Boxes boxes;
    Click(Ok());
    EXPECT_EQ(boxes.seen.empty() ? QString() : boxes.seen[0].text.left(36), box);
    EXPECT_EQ(window_->isVisible(), refused == 45);
    size_t writes = 0;  // of the refused parameter
    for (const auto& p : sim_->ParameterRequests(TX))
      writes += p.id == P(refused) && p.command == SET_PARAMETER;
    EXPECT_EQ(writes, click_dhcp ? 1u : 0u);
    if (refused == 45) Click(W<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Cancel));
  }
  EXPECT_EQ(Saved(TX, 48), 0x08080404u);
}

TEST_F(DialogTest, NetworkAddressesAreUnsigned32BitValuesBothWays) {
  window_ = std::make_unique<NetworkConfig>(tx_model_.get(), nullptr);
  sim_->SetValue(TX, P(51), 0xFF0A0B0C);
  sim_->SetValue(TX, P(52), 0x77123456);
  const std::tuple<uint32_t, const char*, const char*> cases[] = {
      {0x0A010203, "10.1.2.3", "10.1.2.3"},
      {0xC8010203, "200.1.2.3", "200.1.2.3"},
      {0x0A0100FF, "10.1.0.255", "010.001.000.255"}};
  for (const auto& [value, shown, typed] : cases) {
    sim_->SetValue(TX, P(45), value);
    window_->show();
    EXPECT_EQ(W("eth_ip_addr_edit")->text(), shown);
    EXPECT_EQ(W("eth_mac_addr_edit")->text(), "0A0B0C123456");
    Type(W("eth_ip_addr_edit"), typed);
    Click(Ok());
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(Saved(TX, 45), value);
  }
  EXPECT_EQ(log_.Count("Network Configuration Saved"), 3);
}

TEST_F(DialogTest, NetworkWritesOnlyCompleteAddressesAndAlsoWithDhcp) {
  window_ = std::make_unique<NetworkConfig>(tx_model_.get(), nullptr);
  window_->show();
  Type(W("eth_gateway_edit"), "256.1.1.1");
  EXPECT_NE(W("eth_gateway_edit")->text(), "256.1.1.1");
  Type(W("eth_gateway_edit"), "10.1");
  Boxes boxes;
  Click(Ok());  // stays open and names the field
  ASSERT_EQ(boxes.seen.size(), 1u);
  EXPECT_TRUE(boxes.seen[0].text.startsWith("Gateway is not a complete address"));
  EXPECT_TRUE(window_->isVisible());
  Click(W<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Cancel));
  EXPECT_EQ(Requests(TX, SET_PARAMETER), 0u);
  EXPECT_EQ(log_.CountContaining("Network Configuration"), 0);

  window_->show();
  Click(W<QCheckBox>("eth_use_dhcp_check"));
  Type(W("eth_dns_edit"), "8.8.4.4");
  Click(Ok());
  EXPECT_EQ(Saved(TX, 48), 0x08080404u);
  EXPECT_EQ(Saved(TX, 49), 1u);
}

TEST_F(DialogTest, NetworkFailedWriteIsAnErrorAndEveryRequestIsStillMade) {
  window_ = std::make_unique<NetworkConfig>(tx_model_.get(), nullptr);
  for (bool disabled : {false, true}) {  // a refused write whose stage is accepted; no service
    sim_->ClearRecords();
    log_.Clear();
    window_->show();
    tx_->Enable(!disabled);  // after the reads: a field whose read failed is never written
    sim_->SetStatusZero(TX, P(45), !disabled);
    auto accept_again = QObject::connect(tx_model_.get(), &ParameterModel::dataChanged,
                                         [this] { sim_->SetStatusZero(TX, P(45), false); });
    Boxes boxes;
    Click(Ok());
    QObject::disconnect(accept_again);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "Error Saving Network Configuration");
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(log_.Count("Error Saving Network Configuration"), 1);
    EXPECT_EQ(log_.Count("Network Configuration Saved"), 0);
    EXPECT_EQ((std::vector<size_t>{Requests(TX, SET_PARAMETER), Requests(TX, STAGE_PARAMETER),
                                   Requests(TX, COMMIT_STAGED)}),
              (std::vector<size_t>{disabled ? 0u : 5u, 5, 1}));
  }
}

TEST_F(DialogTest, I2cAddressFrom1To127IsSavedOrTheUserIsTold) {
  window_ = std::make_unique<SetRxI2cAddressDialog>(nullptr, *rx_model_);
  const std::pair<const char*, const char*> typing[] = {
      {"127", "127"}, {"1", "1"}, {"128", "12"}, {"0", ""}, {"012", "12"}};
  for (const auto& [typed, shown] : typing) {
    Type(W("set_address_edit"), typed);
    EXPECT_EQ(W("set_address_edit")->text(), shown) << typed;
  }
  const std::tuple<const char*, int, const char*> cases[] = {
      // refuse: 1 all, 2 after the write
      {"127", 0, "Please restart the RX device for changes to take effect."},
      {"", 0, "Please enter an I2C address from 1 to 127."},
      {"5", 1, "Error setting I2C Address on RX."},
      {"9", 2, "Error setting I2C Address on RX."}};
  for (const auto& [typed, refuse, text] : cases) {
    sim_->SetStatusZero(RX, P(61), refuse == 1);
    auto later = QObject::connect(rx_model_.get(), &ParameterModel::dataChanged, [&, r = refuse] {
      if (r == 2) sim_->SetStatusZero(RX, P(61), true);
    });
    window_->show();
    Type(W("set_address_edit"), typed);
    Boxes boxes;
    Click(W<QPushButton>("set_address_confirm_button"));
    QObject::disconnect(later);
    EXPECT_FALSE(window_->isVisible());
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, text);
    EXPECT_EQ(boxes.seen[0].icon,
              refuse || !*typed ? QMessageBox::Critical : QMessageBox::Information);
    EXPECT_EQ(Saved(RX, 61), 127u);
  }
}

TEST_F(DialogTest, FirmwareUpdateRunsBusyThenReportsAndQuits) {
  window_ = std::make_unique<OtaUpdateDialog>(nullptr, *tx_, *rx_, *ota_);
  ota_->SetPacing({300, 50});
  QTemporaryDir dir;
  const QString archive = dir.filePath("update.bin");
  const auto record = SimDevices::MakeArchiveRecord(
      OtaArchive::TxApp, SimDevices::MakeImage(0x202, std::vector<uint8_t>(640, 0x5A)));
  std::ofstream(archive.toStdString(), std::ios::binary)
      .write(reinterpret_cast<const char*>(record.data()), record.size());
  const QString cut = dir.filePath("cut.bin");  // a good image, then one cut short
  std::ofstream(cut.toStdString(), std::ios::binary)
      .write(reinterpret_cast<const char*>(record.data()), record.size())
      .write(reinterpret_cast<const char*>(record.data()), record.size() - 100);
  const std::tuple<QString, uint32_t, const char*> cases[] = {
      {"", 0x202, "OTA Update unsuccessful"},
      {cut, 0x302, "OTA Update unsuccessful"},
      {archive, 0x302, "OTA Update successful. \n\nPlease power cycle both RX and TX devices."},
      {archive, 0x202, "OTA Update unsuccessful"}};  // the image it runs already is skipped
  QApplication::setQuitOnLastWindowClosed(false);
  for (const auto& [path, running, text] : cases) {
    sim_->SetFirmwareId(TX, running);
    window_->show();
    Type(W("fw_image_edit"), path);
    Click(W<QPushButton>("update_button"));
    for (const char* name : {"update_button", "cancel_button", "browse_button", "fw_image_edit"}) {
      EXPECT_FALSE(W<QWidget>(name)->isEnabled()) << name;
    }
    EXPECT_EQ(W<QProgressBar>("progress_update")->maximum(), 0);
    Boxes boxes;
    QTimer limit;  // the program's event loop, until the window quits it
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    limit.start(60000);
    EXPECT_EQ(QApplication::exec(), 0);
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].title, "Korvane OTA Update");
    EXPECT_EQ(boxes.seen[0].text, text);
    EXPECT_EQ(boxes.seen[0].icon,
              QString(text).contains("unsuccessful") ? QMessageBox::Critical
                                                     : QMessageBox::Information);
    EXPECT_TRUE(W<QPushButton>("update_button")->isEnabled());
  }
  QApplication::setQuitOnLastWindowClosed(true);
  EXPECT_EQ(sim_->FirmwareId(TX), 0x202u);
}

TEST_F(DialogTest, ParameterWidgetReadsAndWritesWithKeysAndButtons) {
  window_ = std::make_unique<ParameterWidget>("Current", P(34), *tx_, nullptr);
  QLineEdit* field = window_->findChild<QLineEdit*>();
  const auto buttons = window_->findChildren<QPushButton*>();  // Get, Set
  window_->show();
  QApplication::setActiveWindow(window_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  auto key = [&](Qt::Key k) { return [=] { QTest::keyClick(field, k); }; };
  const std::tuple<bool, const char*, std::function<void()>, const char*, uint32_t> steps[] = {
      {true, "", key(Qt::Key_Return), "3000", 3000},  // an empty field reads
      {true, "12", [&] { Click(buttons[1]); }, "12", 12},
      {true, "77", key(Qt::Key_Return), "77", 77},
      {true, "5", key(Qt::Key_F5), "77", 77},
      {true, "5", [&] { Click(buttons[0]); }, "77", 77},
      {false, "5", key(Qt::Key_F5), "", 77}};  // a failed read
  for (const auto& [enabled, typed, act, shown, device] : steps) {
    tx_->Enable(enabled);
    Type(field, typed);
    QSignalSpy changed(window_.get(), SIGNAL(ValueChanged(QString)));
    act();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toString(), shown);
    EXPECT_EQ(field->text(), shown);
    EXPECT_EQ(field->selectedText(), shown);
    EXPECT_EQ(QApplication::focusWidget(), field);
    uint32_t value = 0;
    EXPECT_TRUE(sim_->GetValue(TX, P(34), &value));
    EXPECT_EQ(value, device);
  }
  // An id the transmitter's list lacks: the service throws; the field stays as it was.
  tx_->Enable(true);
  ParameterWidget unknown("Radio", P(4), *tx_, nullptr);
  QSignalSpy changed(&unknown, SIGNAL(ValueChanged(QString)));
  for (Qt::Key key : {Qt::Key_3, Qt::Key_Return, Qt::Key_F5}) {
    QTest::keyClick(unknown.findChild<QLineEdit*>(), key);
  }
  EXPECT_EQ(unknown.findChild<QLineEdit*>()->text(), "3");
  EXPECT_EQ(changed.count(), 0);
  for (const char* slot : {"Set", "Get"}) {
    EXPECT_EQ(log_.Count(std::string("ParameterWidget::") + slot +
                         "Requested - parameter service threw an exception: Unknown parameter"),
              1);
  }
  EXPECT_THROW(ParameterWidget("None", P(77), *tx_, nullptr), std::runtime_error);
}

}  // namespace
