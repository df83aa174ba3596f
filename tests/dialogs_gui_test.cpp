// The configuration windows and the parameter widget, driven as a user drives them (typing,
// clicking, answering message boxes) against the simulated devices.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "charge_config.h"
#include "network_config.h"
#include "ota_update_dialog.h"
#include "parameter_model.h"
#include "parameter_widget.h"
#include "set_rx_i2c_address_dialog.h"
#include "support/device_fixture.h"
#include "support/log_capture.h"

namespace {

using namespace std::chrono_literals;

// Answers every modal message box while it lives: records what the user saw and clicks
// `answer`, or Ok on a box without that button.
class BoxAnswerer {
 public:
  struct Box {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    bool parent_visible;  // the window the box belongs to was still shown
  };

  explicit BoxAnswerer(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer_(answer) {
    Arm();
  }
  std::vector<Box> boxes;

 private:
  void Arm() { QTimer::singleShot(10, &context_, [this] { Poll(); }); }
  void Poll() {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes.push_back({box->windowTitle(), box->text(), box->icon(),
                       box->parentWidget() && box->parentWidget()->isVisible()});
      QAbstractButton* button = box->button(answer_);
      QTest::mouseClick(button ? button : box->button(QMessageBox::Ok), Qt::LeftButton);
    }
    Arm();
  }

  QMessageBox::StandardButton answer_;
  QObject context_;
};

// Replaces a field's text as a user does: select all, delete, type.
void Type(QWidget* field, const QString& text) {
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Backspace);
  QTest::keyClicks(field, text);
}

void Choose(QComboBox* combo, int row) {
  QTest::keyClick(combo, Qt::Key_Home);
  for (int i = 0; i < row; ++i) QTest::keyClick(combo, Qt::Key_Down);
}

void Click(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

// A widget of a window's form, by its object name.
template <typename T>
T* Child(const QObject* window, const char* name) {
  T* child = window->findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

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
    charge_.reset();
    network_.reset();
    i2c_.reset();
    ota_dialog_.reset();
    tx_model_.reset();
    rx_model_.reset();
  }

  uint32_t Value(Address device, int id, bool saved = false) {
    uint32_t raw = 0xDEADBEEF;
    EXPECT_TRUE(saved ? sim_->GetSavedValue(device, P(id), &raw) : sim_->GetValue(device, P(id), &raw));
    return raw;
  }
  size_t Writes(Address device) {
    size_t n = 0;
    for (const auto& p : sim_->ParameterRequests(device)) n += p.command == SET_PARAMETER;
    return n;
  }

  LogCapture log_;  // attached before the threads start
  std::unique_ptr<ParameterModel> tx_model_;
  std::unique_ptr<ParameterModel> rx_model_;
  std::unique_ptr<ChargeConfig> charge_;
  std::unique_ptr<NetworkConfig> network_;
  std::unique_ptr<SetRxI2cAddressDialog> i2c_;
  std::unique_ptr<OtaUpdateDialog> ota_dialog_;
};

// --- Charge configuration ---

class ChargeConfigTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    charge_ = std::make_unique<ChargeConfig>(rx_model_.get(), nullptr);
    combo_ = Child<QComboBox>(charge_.get(), "rx_battery_chem_combo");
    cells_ = Child<QSpinBox>(charge_.get(), "number_cells_edit");
    volts_ = Child<QLineEdit>(charge_.get(), "batt_cell_full_voltage_edit");
    amps_ = Child<QLineEdit>(charge_.get(), "charge_current_edit");
    float_label_ = Child<QLabel>(charge_.get(), "label_float_voltage");
    ok_ = Child<QPushButton>(charge_.get(), "ok_button");
    apply_ = Child<QPushButton>(charge_.get(), "apply_button");
  }
  // Shows the window (loading the receiver's values) and sets the entries.
  void Fill(int row, const QString& cells, const QString& volts, const QString& amps) {
    charge_->show();
    Choose(combo_, row);
    Type(cells_, cells);
    Type(volts_, volts);
    Type(amps_, amps);
  }
  QComboBox* combo_ = nullptr;
  QSpinBox* cells_ = nullptr;
  QLineEdit* volts_ = nullptr;
  QLineEdit* amps_ = nullptr;
  QLabel* float_label_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* apply_ = nullptr;
};

TEST_F(ChargeConfigTest, EachPresetSetsItsLimits) {
  struct Row {
    const char* voltage_label;
    const char* cells_label;
    int min_cells, max_cells;
    const char* voltage;
    double bottom, top;
  };
  const Row rows[] = {
      {"Battery Cell Full Voltage (0.06 - 12.03V)", "(1 - 99)", 1, 99, "12.030", 0.064, 12.03},
      {"Battery Cell Full Voltage (3.00 - 4.20V)", "(3 - 8)", 3, 8, "4.200", 3.0, 4.2},
      {"Battery Cell Full Voltage (0.49 - 1.55V)", "(8 - 23)", 8, 23, "1.550", 0.488, 1.55},
      {"Battery Cell Full Voltage (1.93 - 2.44V)", "(5 - 14)", 5, 14, "2.440", 1.93, 2.44},
      {"Battery Cell Full Voltage (2.50 - 3.65V)", "(4 - 9)", 4, 9, "3.650", 2.5, 3.65},
      {"Battery Cell Full Voltage (3.00 - 4.35V)", "(3 - 6)", 3, 6, "4.350", 3.0, 4.35},
  };
  charge_->show();
  for (int row = 0; row < 6; ++row) {
    SCOPED_TRACE(row);
    Choose(combo_, row);
    EXPECT_EQ(combo_->currentText(), BatteryChemistryStr[row]);
    EXPECT_EQ(Child<QLabel>(charge_.get(), "label_cell_voltage")->text(), rows[row].voltage_label);
    EXPECT_EQ(Child<QLabel>(charge_.get(), "label_number_cells")->text(),
              QString("Number of Battery Cells\n") + rows[row].cells_label);
    EXPECT_EQ(cells_->minimum(), rows[row].min_cells);
    EXPECT_EQ(cells_->maximum(), rows[row].max_cells);
    EXPECT_EQ(volts_->text(), rows[row].voltage);
    auto* validator = qobject_cast<const QDoubleValidator*>(volts_->validator());
    ASSERT_NE(validator, nullptr);
    EXPECT_DOUBLE_EQ(validator->bottom(), rows[row].bottom);
    EXPECT_DOUBLE_EQ(validator->top(), rows[row].top);
  }
}

TEST_F(ChargeConfigTest, FloatVoltageAboveThirtySixVoltsIsRed) {
  struct Case {
    int row;
    const char* cells;
    const char* volts;  // nullptr: the preset's value
    const char* shown;
    const char* color;
  } cases[] = {
      {1, "8", nullptr, "33.600 V", "#000"},
      {0, "4", nullptr, "48.120 V", "#f00"},
      {0, "4", "9", "36.000 V", "#000"},
  };
  charge_->show();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    Choose(combo_, c.row);
    Type(cells_, c.cells);
    if (c.volts) Type(volts_, c.volts);
    EXPECT_EQ(float_label_->text(), c.shown);
    EXPECT_EQ(float_label_->styleSheet(), QString("color: %1;").arg(c.color));
  }
}

TEST_F(ChargeConfigTest, ShowLoadsTheReceiverAndAPresetChangeReplacesTheVoltage) {
  sim_->SetValue(RX, P(63), 4100);
  charge_->show();  // Custom until now: Lithium Ion's limits replace the loaded voltage
  EXPECT_EQ(combo_->currentIndex(), 1);
  EXPECT_EQ(volts_->text(), "4.200");
  EXPECT_EQ(cells_->value(), 6);
  EXPECT_EQ(amps_->text(), "3.000");
  Click(Child<QPushButton>(charge_.get(), "cancel_button"));
  EXPECT_FALSE(charge_->isVisible());
  charge_->show();  // the same chemistry: the stored value stays
  EXPECT_EQ(volts_->text(), "4.100");

  charge_->hide();
  sim_->SetValue(RX, P(68), 9);  // no such preset
  charge_->show();
  EXPECT_EQ(combo_->currentText(), "Custom");
  EXPECT_EQ(Child<QLabel>(charge_.get(), "label_cell_voltage")->text(), "Battery Cell Full Voltage (0.06 - 12.03V)");
}

TEST_F(ChargeConfigTest, ApplyWritesStagesAndCommitsInMilliunits) {
  struct Case {
    int row;
    const char* cells;
    const char* volts;
    const char* amps;
    uint32_t mv, ma;
  } cases[] = {
      {1, "8", "4.2", "0.25", 4200, 250},
      {0, "4", "12.03", "10", 12030, 10000},  // 48.120 V: only a warning
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volts);
    Fill(c.row, c.cells, c.volts, c.amps);
    BoxAnswerer answerer(QMessageBox::Yes);
    Click(apply_);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].title, "Question");
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(charge_->isVisible());
    for (bool saved : {false, true}) {
      EXPECT_EQ(Value(RX, 68, saved), static_cast<uint32_t>(c.row));
      EXPECT_EQ(Value(RX, 62, saved), QString(c.cells).toUInt());
      EXPECT_EQ(Value(RX, 63, saved), c.mv);
      EXPECT_EQ(Value(RX, 34, saved), c.ma);
    }
    for (int id : {34, 62, 63, 68}) EXPECT_FALSE(sim_->IsStaged(RX, P(id)));
  }
}

TEST_F(ChargeConfigTest, NothingIsWrittenForBadEntriesOrADeclinedQuestion) {
  struct Case {
    const char* volts;
    const char* amps;
    QMessageBox::StandardButton answer;
    const char* text;
  } cases[] = {
      {"4.3", "1", QMessageBox::Yes, "One or more parameters are incorrect"},
      {"4.2", "0.2", QMessageBox::Yes, "One or more parameters are incorrect"},
      {"", "1", QMessageBox::Yes, "One or more parameters are incorrect"},
      {"4.2", "1", QMessageBox::No, "Are you sure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Fill(1, "4", c.volts, c.amps);
    BoxAnswerer answerer(c.answer);
    Click(apply_);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_TRUE(answerer.boxes[0].text.startsWith(c.text));
    EXPECT_EQ(answerer.boxes[0].icon,
              c.answer == QMessageBox::No ? QMessageBox::Warning : QMessageBox::Critical);
  }
  EXPECT_EQ(Writes(RX), 0u);
}

TEST_F(ChargeConfigTest, OkHidesTheWindowThenApplies) {
  Fill(1, "3", "3.9", "");
  {
    BoxAnswerer answerer;
    Click(ok_);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].text, "One or more parameters are incorrect");
    EXPECT_FALSE(answerer.boxes[0].parent_visible);
  }
  charge_->show();  // the device's values again
  EXPECT_EQ(amps_->text(), "3.000");
  EXPECT_EQ(cells_->value(), 6);

  Type(cells_, "3");
  BoxAnswerer answerer(QMessageBox::Yes);
  Click(ok_);
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_FALSE(answerer.boxes[0].parent_visible);
  EXPECT_EQ(Value(RX, 62, true), 3u);
}

TEST_F(ChargeConfigTest, AFailedWriteIsReportedAndTheRestIsSaved) {
  sim_->SetStatusZero(RX, P(34), true);
  Fill(1, "7", "4.1", "2");
  BoxAnswerer answerer(QMessageBox::Yes);
  Click(apply_);
  ASSERT_EQ(answerer.boxes.size(), 2u);
  EXPECT_EQ(answerer.boxes[1].title, "Error");
  EXPECT_EQ(answerer.boxes[1].text, "One or more parameters could not be set");
  EXPECT_EQ(Value(RX, 62, true), 7u);
  EXPECT_EQ(Value(RX, 63, true), 4100u);
  EXPECT_EQ(Value(RX, 34, true), 3000u);
}

TEST_F(ChargeConfigTest, NumberFieldsUseAPointWhateverTheLocale) {
  const QLocale previous;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  ChargeConfig german(rx_model_.get(), nullptr);
  QLocale::setDefault(previous);
  german.show();
  QLineEdit* volts = Child<QLineEdit>(&german, "batt_cell_full_voltage_edit");
  Type(volts, "4.200");
  EXPECT_EQ(volts->text(), "4.200");
  EXPECT_TRUE(volts->hasAcceptableInput());
  Type(volts, "4,2");
  EXPECT_NE(volts->text(), "4,2");
  QLineEdit* amps = Child<QLineEdit>(&german, "charge_current_edit");
  Type(amps, "0,25");
  EXPECT_NE(amps->text(), "0,25");
}

// --- Network configuration ---

class NetworkConfigTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    network_ = std::make_unique<NetworkConfig>(tx_model_.get(), nullptr);
    buttons_ = Child<QDialogButtonBox>(network_.get(), "buttonBox");
  }
  QLineEdit* Field(const char* name) { return Child<QLineEdit>(network_.get(), name); }
  void Ok() { Click(buttons_->button(QDialogButtonBox::Ok)); }
  QDialogButtonBox* buttons_ = nullptr;
};

TEST_F(NetworkConfigTest, AddressesAreUnsigned32BitValuesBothWays) {
  struct Case {
    uint32_t value;
    const char* shown;
    const char* typed;
  } cases[] = {
      {(10u << 24) | (1u << 16) | (2u << 8) | 3u, "10.1.2.3", "10.1.2.3"},
      {(200u << 24) | (1u << 16) | (2u << 8) | 3u, "200.1.2.3", "200.1.2.3"},
      {(10u << 24) | (1u << 16) | 255u, "10.1.0.255", "010.001.000.255"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    sim_->SetValue(TX, P(45), c.value);
    network_->show();
    EXPECT_EQ(Field("eth_ip_addr_edit")->text(), c.shown);
    network_->hide();

    sim_->SetValue(TX, P(45), 0);
    network_->show();
    Type(Field("eth_ip_addr_edit"), c.typed);
    EXPECT_EQ(Field("eth_ip_addr_edit")->text(), c.typed);
    Ok();
    EXPECT_FALSE(network_->isVisible());
    EXPECT_EQ(Value(TX, 45, true), c.value);
  }
  EXPECT_EQ(log_.Count("Network Configuration Saved"), 3);
}

TEST_F(NetworkConfigTest, ShowsTheMacAddressFromTheLow24BitsOfEachHalf) {
  sim_->SetValue(TX, P(51), 0xFF0A0B0C);
  sim_->SetValue(TX, P(52), 0x77123456);
  sim_->SetValue(TX, P(49), 1);
  network_->show();
  EXPECT_EQ(Field("eth_mac_addr_edit")->text(), "0A0B0C123456");
  EXPECT_FALSE(Field("eth_mac_addr_edit")->isEnabled());
  EXPECT_TRUE(Child<QCheckBox>(network_.get(), "eth_use_dhcp_check")->isChecked());
  EXPECT_EQ(Field("eth_net_mask_edit")->text(), "0.0.0.0");
}

TEST_F(NetworkConfigTest, DhcpCheckedStillWritesEveryAddress) {
  network_->show();
  Click(Child<QCheckBox>(network_.get(), "eth_use_dhcp_check"));
  Type(Field("eth_ip_addr_edit"), "192.168.1.20");
  Type(Field("eth_net_mask_edit"), "255.255.255.0");
  Type(Field("eth_gateway_edit"), "192.168.1.1");
  Type(Field("eth_dns_edit"), "8.8.4.4");
  Ok();
  EXPECT_EQ(Value(TX, 45, true), 0xC0A80114u);
  EXPECT_EQ(Value(TX, 46, true), 0xFFFFFF00u);
  EXPECT_EQ(Value(TX, 47, true), 0xC0A80101u);
  EXPECT_EQ(Value(TX, 48, true), 0x08080404u);
  EXPECT_EQ(Value(TX, 49, true), 1u);
}

TEST_F(NetworkConfigTest, IncompleteOrBadAddressesAreNeverWritten) {
  network_->show();
  Type(Field("eth_gateway_edit"), "256.1.1.1");
  EXPECT_NE(Field("eth_gateway_edit")->text(), "256.1.1.1");
  Type(Field("eth_gateway_edit"), "10.1");
  EXPECT_EQ(Field("eth_gateway_edit")->text(), "10.1");
  BoxAnswerer answerer;
  Ok();
  ASSERT_EQ(answerer.boxes.size(), 1u);
  EXPECT_TRUE(answerer.boxes[0].text.startsWith("Gateway is not a complete address"));
  EXPECT_TRUE(network_->isVisible());
  EXPECT_FALSE(Field("eth_gateway_edit")->styleSheet().isEmpty());

  Click(buttons_->button(QDialogButtonBox::Cancel));
  EXPECT_FALSE(network_->isVisible());
  EXPECT_EQ(Writes(TX), 0u);
  EXPECT_EQ(sim_->ParameterRequests(TX).size(), 7u);  // the reads of the show
  EXPECT_EQ(log_.CountContaining("Network Configuration"), 0);
}

TEST_F(NetworkConfigTest, AFailedWriteIsAnErrorAndEveryRequestIsStillMade) {
  struct Case {
    const char* name;
    bool refuse_ip_write;  // refused until the next write succeeds: its stage is accepted
    bool disabled;         // reads and writes fail; stage and commit still go out
    size_t writes;
  } cases[] = {{"refused", true, false, 5}, {"disabled", false, true, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tx_->Enable(!c.disabled);
    sim_->ClearRecords();
    log_.Clear();
    network_->show();
    Type(Field("eth_dns_edit"), "1.1.1.1");
    sim_->SetStatusZero(TX, P(45), c.refuse_ip_write);
    auto accept_again = QObject::connect(tx_model_.get(), &ParameterModel::dataChanged,
                                         [&] { sim_->SetStatusZero(TX, P(45), false); });
    Ok();
    QObject::disconnect(accept_again);
    EXPECT_FALSE(network_->isVisible());
    EXPECT_EQ(log_.Count("Error Saving Network Configuration"), 1);
    EXPECT_EQ(log_.Count("Network Configuration Saved"), 0);
    EXPECT_EQ(Writes(TX), c.writes);
    size_t stages = 0, commits = 0;
    for (const auto& p : sim_->ParameterRequests(TX)) {
      stages += p.command == STAGE_PARAMETER;
      commits += p.command == COMMIT_STAGED;
    }
    EXPECT_EQ(stages, 5u);
    EXPECT_EQ(commits, 1u);
  }
  EXPECT_EQ(Value(TX, 48, true), 0x01010101u);  // saved by the first case
}

// --- Receiver I2C address ---

class I2cAddressTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    i2c_ = std::make_unique<SetRxI2cAddressDialog>(nullptr, *rx_model_);
    field_ = Child<QLineEdit>(i2c_.get(), "set_address_edit");
  }
  QLineEdit* field_ = nullptr;
};

TEST_F(I2cAddressTest, OnlyOneTo127WithoutLeadingZerosCanBeTyped) {
  const std::pair<const char*, const char*> cases[] = {
      {"127", "127"}, {"1", "1"}, {"128", "12"}, {"0", ""}, {"012", "12"}};
  for (const auto& [typed, shown] : cases) {
    Type(field_, typed);
    EXPECT_EQ(field_->text(), shown) << typed;
  }
}

TEST_F(I2cAddressTest, ConfirmSavesTheAddressOrSaysWhatWentWrong) {
  struct Case {
    const char* typed;
    int refuse;  // 0 none, 1 from the start, 2 once the write has been made
    const char* title;
    const char* text;
    uint32_t saved;
  } cases[] = {
      {"127", 0, "Information", "Please restart the RX device for changes to take effect.", 127},
      {"", 0, "Error", "Please enter an I2C address from 1 to 127.", 127},
      {"5", 1, "Error", "Error setting I2C Address on RX.", 127},
      {"9", 2, "Error", "Error setting I2C Address on RX.", 127},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    sim_->SetStatusZero(RX, P(61), c.refuse == 1);
    auto refuse_later = QObject::connect(rx_model_.get(), &ParameterModel::dataChanged, [&] {
      if (c.refuse == 2) sim_->SetStatusZero(RX, P(61), true);
    });
    i2c_->show();
    Type(field_, c.typed);
    BoxAnswerer answerer;
    Click(Child<QPushButton>(i2c_.get(), "set_address_confirm_button"));
    QObject::disconnect(refuse_later);
    EXPECT_FALSE(i2c_->isVisible());
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].title, c.title);
    EXPECT_EQ(answerer.boxes[0].text, c.text);
    EXPECT_EQ(answerer.boxes[0].icon, c.title == std::string("Information")
                                          ? QMessageBox::Information
                                          : QMessageBox::Critical);
    EXPECT_EQ(Value(RX, 61, true), c.saved);
  }
  EXPECT_EQ(Value(RX, 61), 9u);  // taken, but not saved
}

// --- Firmware update ---

class OtaDialogTest : public DialogTest {
 protected:
  SimConfig Config() const override {
    SimConfig config = DialogTest::Config();
    config.reboot_delay = 100ms;
    return config;
  }
  void SetUp() override {
    DialogTest::SetUp();
    ota_->SetPacing({300, 50});
    ota_dialog_ = std::make_unique<OtaUpdateDialog>(nullptr, *tx_, *rx_, *ota_);
    path_ = Child<QLineEdit>(ota_dialog_.get(), "fw_image_edit");
    update_ = Child<QPushButton>(ota_dialog_.get(), "update_button");
    progress_ = Child<QProgressBar>(ota_dialog_.get(), "progress_update");
    ASSERT_TRUE(dir_.isValid());
  }
  std::string WriteArchive(const std::vector<uint8_t>& record) {
    const std::string path = dir_.filePath("update.bin").toStdString();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(record.data()),
                                                 static_cast<std::streamsize>(record.size()));
    return path;
  }
  // Runs the program's event loop until something quits it; the exit code of the loop.
  static int RunUntilQuit() {
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    limit.start(60000);
    QApplication::setQuitOnLastWindowClosed(false);
    const int code = QApplication::exec();
    QApplication::setQuitOnLastWindowClosed(true);
    return code;
  }
  QTemporaryDir dir_;
  QLineEdit* path_ = nullptr;
  QPushButton* update_ = nullptr;
  QProgressBar* progress_ = nullptr;
};

TEST_F(OtaDialogTest, UpdateRunsBusyThenReportsAndQuits) {
  const auto tx_app = SimDevices::MakeArchiveRecord(
      OtaArchive::TxApp, SimDevices::MakeImage(0x202, std::vector<uint8_t>(640, 0x5A)));
  struct Case {
    bool archive;
    uint32_t tx_firmware;
    const char* text;
    QMessageBox::Icon icon;
  } cases[] = {
      {false, 0x202, "OTA Update unsuccessful", QMessageBox::Critical},
      {true, 0x302, "OTA Update successful. \n\nPlease power cycle both RX and TX devices.",
       QMessageBox::Information},
      {true, 0x202, "OTA Update unsuccessful", QMessageBox::Critical},  // runs it already
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    sim_->SetFirmwareId(TX, c.tx_firmware);
    ota_dialog_->show();
    Type(path_, c.archive ? QString::fromStdString(WriteArchive(tx_app)) : "");
    Click(update_);
    for (QWidget* control : std::initializer_list<QWidget*>{
             update_, Child<QPushButton>(ota_dialog_.get(), "cancel_button"), Child<QPushButton>(ota_dialog_.get(), "browse_button"), path_}) {
      EXPECT_FALSE(control->isEnabled());
    }
    EXPECT_EQ(progress_->maximum(), 0);

    BoxAnswerer answerer;
    EXPECT_EQ(RunUntilQuit(), 0);
    ASSERT_EQ(answerer.boxes.size(), 1u);
    EXPECT_EQ(answerer.boxes[0].title, "Korvane OTA Update");
    EXPECT_EQ(answerer.boxes[0].text, c.text);
    EXPECT_EQ(answerer.boxes[0].icon, c.icon);
    EXPECT_TRUE(update_->isEnabled());
    EXPECT_EQ(progress_->maximum(), 100);
  }
  EXPECT_EQ(sim_->FirmwareId(TX), 0x202u);
  EXPECT_EQ(sim_->RebootCount(TX), 1);
}

TEST_F(OtaDialogTest, CancelOnlyHides) {
  ota_dialog_->show();
  Type(path_, "firmware.bin");
  Click(Child<QPushButton>(ota_dialog_.get(), "cancel_button"));
  EXPECT_FALSE(ota_dialog_->isVisible());
  ota_dialog_->show();
  EXPECT_EQ(path_->text(), "firmware.bin");
  EXPECT_TRUE(sim_->OtaRequests(TX).empty());
}

// --- Parameter widget ---

class ParameterWidgetTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    widget_ = std::make_unique<ParameterWidget>("Maximum current", P(34), *tx_, nullptr);
    field_ = widget_->findChild<QLineEdit*>();
    for (auto* button : widget_->findChildren<QPushButton*>()) {
      (button->text() == "Get" ? get_ : set_) = button;
    }
    widget_->show();
    QApplication::setActiveWindow(widget_.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(widget_.get()));
  }
  void TearDown() override {
    widget_.reset();
    DialogTest::TearDown();
  }
  std::unique_ptr<ParameterWidget> widget_;
  QLineEdit* field_ = nullptr;
  QPushButton* get_ = nullptr;
  QPushButton* set_ = nullptr;
};

TEST_F(ParameterWidgetTest, KeysAndButtonsReadAndWrite) {
  struct Step {
    const char* typed;  // nullptr: leave the field
    std::function<void()> action;
    const char* shown;  // the field and ValueChanged afterwards
    uint32_t device;
  } steps[] = {
      {"", [&] { QTest::keyClick(field_, Qt::Key_Return); }, "3000", 3000},  // empty: reads
      {"12", [&] { Click(set_); }, "12", 12},
      {"77", [&] { QTest::keyClick(field_, Qt::Key_Return); }, "77", 77},
      {"5", [&] { QTest::keyClick(field_, Qt::Key_F5); }, "77", 77},
      {nullptr, [&] { Click(get_); }, "77", 77},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.shown);
    if (step.typed) Type(field_, step.typed);
    QSignalSpy changed(widget_.get(), &ParameterWidget::ValueChanged);
    step.action();
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toString(), step.shown);
    EXPECT_EQ(field_->text(), step.shown);
    EXPECT_EQ(field_->selectedText(), step.shown);
    EXPECT_EQ(QApplication::focusWidget(), field_);
    EXPECT_EQ(Value(TX, 34), step.device);
  }
}

TEST_F(ParameterWidgetTest, FailuresAndExceptions) {
  tx_->Enable(false);
  Type(field_, "42");
  QSignalSpy changed(widget_.get(), &ParameterWidget::ValueChanged);
  QTest::keyClick(field_, Qt::Key_F5);  // a failed read empties the field
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].toString(), "");
  EXPECT_EQ(field_->text(), "");

  tx_->Enable(true);
  // An id the transmitter's list lacks: the service throws, the field stays as it was.
  ParameterWidget unknown("Radio", P(4), *tx_, nullptr);
  auto* field = unknown.findChild<QLineEdit*>();
  QSignalSpy unknown_changed(&unknown, &ParameterWidget::ValueChanged);
  Type(field, "3");
  QTest::keyClick(field, Qt::Key_Return);
  QTest::keyClick(field, Qt::Key_F5);
  EXPECT_EQ(field->text(), "3");
  EXPECT_EQ(unknown_changed.count(), 0);
  for (const char* slot : {"SetRequested", "GetRequested"}) {
    EXPECT_EQ(log_.Count(std::string("ParameterWidget::") + slot +
                         " - parameter service threw an exception: Unknown parameter"),
              1);
  }
  EXPECT_THROW(ParameterWidget("None", P(77), *tx_, nullptr), std::runtime_error);
}

}  // namespace
