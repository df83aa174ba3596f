#include "charge_config.h"

#include <cmath>
#include <cstdint>
#include <optional>

#include <QApplication>
#include <QComboBox>
#include <QDoubleValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
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

// What the cell-count spin box shows while the count is unknown.
constexpr char kUnknownCells[] = "?";

// The fields are filled with fmt and read back with QString::toFloat, both with "." as decimal
// point and no group separators; the validators must agree whatever the user's locale.
QLocale FieldLocale() {
  QLocale locale = QLocale::c();
  locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
  return locale;
}

QString Volts(long long millis) {
  return QString::fromStdString(fmt::format("{:3.3f}", millis / 1000.0));
}

// A value read from the receiver as a whole number; false when the read failed or the device's
// text is not one.
bool WholeNumber(const QVariant& value, long long* number) {
  if (!value.isValid()) return false;
  bool ok = false;
  *number = value.toString().toLongLong(&ok, 10);
  return ok;
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
  connect(ui_->batt_cell_full_voltage_edit, &QLineEdit::textEdited, this, [this] {
    voltage_unknown_ = false;  // the user's own value, whatever it is
    UpdateDisplayedFloatVoltage();
  });
  connect(ui_->number_cells_edit, QOverload<int>::of(&QSpinBox::valueChanged), this,
          &ChargeConfig::CellsChanged);
  connect(ui_->cancel_button, &QPushButton::clicked, this, &ChargeConfig::hide);
  connect(model_, &ParameterModel::dataChanged, this, &ChargeConfig::ModelChanged);
  // Only the user's typing changes the text with signals: the spin box's own updates block them.
  QLineEdit* cells_text = ui_->number_cells_edit->findChild<QLineEdit*>();
  connect(cells_text, &QLineEdit::textChanged, this,
          [this] { cells_typed_refused_ = !ui_->number_cells_edit->hasAcceptableInput(); });
  // Leaving the spin box for another field, window or application shows the value it put back
  // (the user sees it there or on return); leaving it for Apply or OK runs Apply before the
  // user could see it.
  connect(ui_->number_cells_edit, &QSpinBox::editingFinished, this, [this] {
    QWidget* now = QApplication::focusWidget();
    if (now != ui_->apply_button && now != ui_->ok_button) cells_typed_refused_ = false;
  });

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
  if (row < 0) return;  // only a load leaves no row current, and it sets the limits itself
  UpdateBattLimits(korvane::GetBatteryConfigInfo(static_cast<unsigned char>(row)));
}

void ChargeConfig::CellsChanged() {
  QSpinBox* cells = ui_->number_cells_edit;
  if (CellsUnknown() && cells->value() != cells->minimum()) {
    // The user set the count: the step below the preset's range stands for nothing any more.
    const QSignalBlocker blocker(cells);
    MarkCellsUnknown(false);
  }
  cells_typed_refused_ = false;  // a step, or typing the spin box accepts
  UpdateDisplayedFloatVoltage();
}

void ChargeConfig::ModelChanged() {
  // Shown or hidden, the form follows the receiver; one waiting for the user's confirmation
  // keeps what the user is asked about.
  if (!asking_) UpdateData();
}

void ChargeConfig::UpdateBattLimits(korvane::BatteryConfig cfg) {
  ApplyLimits(cfg);
  ui_->batt_cell_full_voltage_edit->setText(Volts(cfg.max_cell_mv));
  voltage_unknown_ = false;
  UpdateDisplayedFloatVoltage();
}

void ChargeConfig::ApplyLimits(korvane::BatteryConfig cfg) {
  const int min_cells = cfg.GetMinCells(kMinPackMv);
  const int max_cells = cfg.GetMaxCells(kMaxPackMv);
  {
    // The caller refreshes the float voltage; an unknown count stays unknown.
    QSpinBox* cells = ui_->number_cells_edit;
    const QSignalBlocker blocker(cells);
    const bool unknown = CellsUnknown();
    cells->setRange(unknown ? min_cells - 1 : min_cells, max_cells);
    if (unknown) cells->setValue(cells->minimum());
  }

  const double min_v = cfg.min_cell_mv / 1000.0;
  const double max_v = cfg.max_cell_mv / 1000.0;
  cell_voltage_validator_->setRange(min_v, max_v, 3);

  ui_->label_cell_voltage->setText(QString::fromStdString(
      fmt::format("Battery Cell Full Voltage ({:2.2f} - {:2.2f}V)", min_v, max_v)));
  ui_->label_number_cells->setText(QString::fromStdString(
      fmt::format("Number of Battery Cells\n({} - {})", min_cells, max_cells)));
}

bool ChargeConfig::CellsUnknown() const {
  return !ui_->number_cells_edit->specialValueText().isEmpty();
}

void ChargeConfig::MarkCellsUnknown(bool unknown) {
  if (unknown == CellsUnknown()) return;
  QSpinBox* cells = ui_->number_cells_edit;
  cells->setSpecialValueText(unknown ? QString(kUnknownCells) : QString());
  cells->setMinimum(cells->minimum() + (unknown ? -1 : 1));
}

void ChargeConfig::ShowCells(std::optional<int> count) {
  QSpinBox* cells = ui_->number_cells_edit;
  const QSignalBlocker blocker(cells);
  MarkCellsUnknown(!count);
  cells->setValue(count.value_or(cells->minimum()));
}

bool ChargeConfig::CellsAcceptable() const {
  const QSpinBox* cells = ui_->number_cells_edit;
  return !cells_typed_refused_ && cells->hasAcceptableInput() && !CellsUnknown() &&
         cells->value() >= cells->minimum() && cells->value() <= cells->maximum();
}

void ChargeConfig::UpdateDisplayedFloatVoltage() {
  QLabel* label = ui_->label_float_voltage;
  if (voltage_unknown_ || CellsUnknown()) {
    label->setStyleSheet("color: #000;");
    label->clear();
    return;
  }
  // A voltage text that is not a number (a cleared field, a lone ".") counts as 0.
  const float volts = ui_->batt_cell_full_voltage_edit->text().toFloat() *
                      static_cast<float>(ui_->number_cells_edit->value());
  label->setStyleSheet(volts > kFloatWarningV ? "color: #f00;" : "color: #000;");
  label->setText(QString::fromStdString(fmt::format("{:3.3f} V", volts)));
}

void ChargeConfig::UpdateData() {
  // All four are read first (each once, and one time-out at most when the receiver does not
  // answer), in the receiver's order; then the chemistry is filled first, so that its limits
  // neither replace nor clamp the values loaded after it.
  ParameterModel::ReadPass pass(*model_);
  const QVariant cell_mv = model_->data(kCellMv);
  const QVariant cells = model_->data(kCells);
  const QVariant current_ma = model_->data(kCurrentMa);
  const QVariant chemistry = model_->data(kChemistry);

  // A chemistry that could not be read or has no preset leaves no row current; the form then
  // offers the widest limits, Custom's, until the user picks one, and Apply refuses.
  long long number = 0;
  const int row = WholeNumber(chemistry, &number) && number >= 0 && number < kChemistryCount
                      ? static_cast<int>(number)
                      : -1;
  {
    const QSignalBlocker blocker(ui_->rx_battery_chem_combo);
    ui_->rx_battery_chem_combo->setCurrentIndex(row);
  }
  ApplyLimits(korvane::GetBatteryConfigInfo(static_cast<unsigned char>(row < 0 ? 0 : row)));

  // A count the spin box cannot show (outside the preset's range) is not clamped into another
  // one that Apply would write: it is unknown, like one that could not be read.
  const int min_cells = ui_->number_cells_edit->minimum() + (CellsUnknown() ? 1 : 0);
  if (WholeNumber(cells, &number) && number >= min_cells &&
      number <= ui_->number_cells_edit->maximum()) {
    ShowCells(static_cast<int>(number));
  } else {
    ShowCells(std::nullopt);
  }
  cells_typed_refused_ = false;

  // Voltage and current are shown as the receiver holds them, in range or not: the validators
  // refuse Apply until the user brings them into range. An unreadable one stays empty.
  for (const auto& [field, value] : {std::pair(ui_->batt_cell_full_voltage_edit, cell_mv),
                                     std::pair(ui_->charge_current_edit, current_ma)}) {
    field->setText(WholeNumber(value, &number) ? Volts(number) : QString());
  }
  voltage_unknown_ = ui_->batt_cell_full_voltage_edit->text().isEmpty();
  UpdateDisplayedFloatVoltage();
}

void ChargeConfig::ApplyClicked() {
  QString voltage_text = ui_->batt_cell_full_voltage_edit->text();
  QString current_text = ui_->charge_current_edit->text();
  int voltage_pos = ui_->batt_cell_full_voltage_edit->cursorPosition();
  int current_pos = ui_->charge_current_edit->cursorPosition();
  if (cell_voltage_validator_->validate(voltage_text, voltage_pos) != QValidator::Acceptable ||
      charge_current_validator_->validate(current_text, current_pos) != QValidator::Acceptable ||
      !CellsAcceptable() || ui_->rx_battery_chem_combo->currentIndex() < 0) {
    QMessageBox::critical(this, "Error", "One or more parameters are incorrect", QMessageBox::Ok);
    // The spin box shows the value it put back by now: a later Apply judges that one.
    cells_typed_refused_ = false;
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
