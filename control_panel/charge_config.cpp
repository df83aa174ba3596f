#include "charge_config.h"

#include <cmath>
#include <cstdint>

#include <QComboBox>
#include <QDoubleValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QSpinBox>
#include <fmt/format.h>

#include "parameter_model.h"
#include "ui_charge_config.h"

namespace {

constexpr ParamId kCurrentMa = static_cast<ParamId>(34);
constexpr ParamId kCells = static_cast<ParamId>(62);
constexpr ParamId kCellMv = static_cast<ParamId>(63);
constexpr ParamId kChemistry = static_cast<ParamId>(68);

// Pack voltages that bound the cell count of every preset, in mV.
constexpr unsigned int kMinPackMv = 12030;
constexpr unsigned int kMaxPackMv = 36000;
// Float voltages above this are shown in red, in V.
constexpr float kFloatWarningV = 36.0f;

constexpr int kChemistryCount = sizeof(BatteryChemistryStr) / sizeof(BatteryChemistryStr[0]);

// The fields are filled with fmt and read back with QString::toFloat, both with "." as decimal
// point and no group separators; the validators must agree whatever the user's locale.
QLocale FieldLocale() {
  QLocale locale = QLocale::c();
  locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
  return locale;
}

QString Volts(int millis) {
  return QString::fromStdString(fmt::format("{:3.3f}", millis / 1000.0));
}

}  // namespace

uint32_t TypedMillis(const QString& text) {
  // In double precision the product lies within far less than half a thousandth of the typed
  // value, so rounding gives it exactly (single precision and floor lose one: 4.015 -> 4014).
  return static_cast<uint32_t>(std::lround(1000.0 * text.toDouble()));
}

ChargeConfig::ChargeConfig(ParameterModel* model, QWidget* parent)
    : QWidget(parent),
      model_(model),
      ui_(std::make_unique<Ui_ChargeConfig>()),
      cell_voltage_validator_(new QDoubleValidator(1.0, 9.0, 3, this)),
      charge_current_validator_(new QDoubleValidator(0.25, 10.0, 3, this)) {
  ui_->setupUi(this);

  for (const auto& name : BatteryChemistryStr) ui_->rx_battery_chem_combo->addItem(name);
  UpdateBattLimits(korvane::GetBatteryConfigInfo(
      static_cast<unsigned char>(ui_->rx_battery_chem_combo->currentIndex())));

  connect(ui_->rx_battery_chem_combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
          &ChargeConfig::ChemistryChanged);
  connect(ui_->batt_cell_full_voltage_edit, &QLineEdit::textEdited, this,
          &ChargeConfig::UpdateDisplayedFloatVoltage);
  connect(ui_->number_cells_edit, QOverload<int>::of(&QSpinBox::valueChanged), this,
          &ChargeConfig::UpdateDisplayedFloatVoltage);
  connect(ui_->cancel_button, &QPushButton::clicked, this, &ChargeConfig::hide);
  connect(model_, &ParameterModel::dataChanged, this, &ChargeConfig::ModelChanged);
  QLineEdit* cells_text = ui_->number_cells_edit->findChild<QLineEdit*>();
  connect(cells_text, &QLineEdit::textChanged, this,
          [this] { cells_acceptable_ = ui_->number_cells_edit->hasAcceptableInput(); });
  // The spin box's own steps (arrows, wheel) leave it a value it accepts.
  connect(ui_->number_cells_edit, QOverload<int>::of(&QSpinBox::valueChanged), this,
          [this] { cells_acceptable_ = true; });

  for (QDoubleValidator* validator : {cell_voltage_validator_, charge_current_validator_}) {
    validator->setNotation(QDoubleValidator::StandardNotation);
    validator->setLocale(FieldLocale());
  }
  ui_->batt_cell_full_voltage_edit->setValidator(cell_voltage_validator_);
  ui_->charge_current_edit->setValidator(charge_current_validator_);

  // OK hides the window (through Cancel), then applies.
  connect(ui_->apply_button, &QPushButton::clicked, this, &ChargeConfig::ApplyClicked);
  connect(ui_->ok_button, &QPushButton::clicked, ui_->cancel_button, &QPushButton::clicked);
  connect(ui_->ok_button, &QPushButton::clicked, ui_->apply_button, &QPushButton::clicked);
}

ChargeConfig::~ChargeConfig() = default;

void ChargeConfig::showEvent(QShowEvent* event) {
  UpdateData();
  // The form's size suits a small desktop font: grow the window when the texts need more room.
  const int needed = heightForWidth(width());
  if (needed > height()) resize(width(), needed);
  QWidget::showEvent(event);
}

void ChargeConfig::ChemistryChanged(int row) {
  UpdateBattLimits(korvane::GetBatteryConfigInfo(static_cast<unsigned char>(row)));
}

void ChargeConfig::ModelChanged() {
  // A hidden form is loaded when it is shown; one waiting for the user's confirmation keeps
  // what the user is asked about.
  if (isVisible() && !asking_) UpdateData();
}

void ChargeConfig::UpdateBattLimits(korvane::BatteryConfig cfg) {
  const int min_cells = cfg.GetMinCells(kMinPackMv);
  const int max_cells = cfg.GetMaxCells(kMaxPackMv);
  ui_->number_cells_edit->setRange(min_cells, max_cells);  // shows a value in the new range
  cells_acceptable_ = true;

  const double min_v = cfg.min_cell_mv / 1000.0;
  const double max_v = cfg.max_cell_mv / 1000.0;
  cell_voltage_validator_->setRange(min_v, max_v, 3);

  ui_->label_cell_voltage->setText(QString::fromStdString(
      fmt::format("Battery Cell Full Voltage ({:2.2f} - {:2.2f}V)", min_v, max_v)));
  ui_->label_number_cells->setText(QString::fromStdString(
      fmt::format("Number of Battery Cells\n({} - {})", min_cells, max_cells)));
  ui_->batt_cell_full_voltage_edit->setText(Volts(cfg.max_cell_mv));
  UpdateDisplayedFloatVoltage();
}

void ChargeConfig::UpdateDisplayedFloatVoltage() {
  const float volts = ui_->batt_cell_full_voltage_edit->text().toFloat() *
                      static_cast<float>(ui_->number_cells_edit->value());
  ui_->label_float_voltage->setStyleSheet(volts > kFloatWarningV ? "color: #f00;" : "color: #000;");
  ui_->label_float_voltage->setText(QString::fromStdString(fmt::format("{:3.3f} V", volts)));
}

void ChargeConfig::UpdateData() {
  // Each value read once, and one time-out at most when the receiver does not answer.
  ParameterModel::ReadPass pass(*model_);
  ui_->batt_cell_full_voltage_edit->setText(Volts(model_->data(kCellMv).toInt()));
  ui_->number_cells_edit->setValue(model_->data(kCells).toInt());
  cells_acceptable_ = true;
  ui_->charge_current_edit->setText(Volts(model_->data(kCurrentMa).toInt()));
  // A chemistry without a preset is shown as Custom.
  int chemistry = model_->data(kChemistry).toInt();
  if (chemistry < 0 || chemistry >= kChemistryCount) chemistry = 0;
  ui_->rx_battery_chem_combo->setCurrentIndex(chemistry);
}

void ChargeConfig::ApplyClicked() {
  QString voltage_text = ui_->batt_cell_full_voltage_edit->text();
  QString current_text = ui_->charge_current_edit->text();
  int voltage_pos = ui_->batt_cell_full_voltage_edit->cursorPosition();
  int current_pos = ui_->charge_current_edit->cursorPosition();
  if (cell_voltage_validator_->validate(voltage_text, voltage_pos) != QValidator::Acceptable ||
      charge_current_validator_->validate(current_text, current_pos) != QValidator::Acceptable ||
      !cells_acceptable_ || !ui_->number_cells_edit->hasAcceptableInput()) {
    QMessageBox::critical(this, "Error", "One or more parameters are incorrect", QMessageBox::Ok);
    return;
  }

  // What is written is what the form shows now, whatever reaches the form while the user is
  // asked (a receiver that reconnects refreshes the model).
  const uint32_t cell_mv = TypedMillis(voltage_text);
  const unsigned int cells = static_cast<unsigned int>(ui_->number_cells_edit->value());
  const uint32_t current_ma = TypedMillis(current_text);
  const auto chemistry = static_cast<unsigned char>(ui_->rx_battery_chem_combo->currentIndex());

  asking_ = true;
  const auto answer = QMessageBox::warning(
      this, "Question",
      "Are you sure you want to set the default power configuration?\n\nCAUTION:\nPhysical "
      "damage may occur if these properties are set improperly.\n\nPlease confirm the battery "
      "requirements from your battery manufacturer before setting these parameters.",
      QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  asking_ = false;
  if (answer != QMessageBox::Yes) return;

  // Every write is made, whatever the earlier ones returned. Each successful one reloads a
  // shown form through dataChanged; the values above are already taken.
  bool written = model_->setData(kChemistry, QVariant(static_cast<int>(chemistry)), Qt::EditRole);
  written = model_->setData(kCells, QVariant(cells), Qt::EditRole) && written;
  written = model_->setData(kCellMv, QVariant(static_cast<unsigned int>(cell_mv)), Qt::EditRole) &&
            written;
  written =
      model_->setData(kCurrentMa, QVariant(static_cast<unsigned int>(current_ma)), Qt::EditRole) &&
      written;
  if (!written) {
    QMessageBox::critical(this, "Error", "One or more parameters could not be set",
                          QMessageBox::Ok);
  }

  for (ParamId id : {kCells, kCellMv, kCurrentMa, kChemistry}) model_->stageParameter(id);
  model_->commitStagedParameters();
}
