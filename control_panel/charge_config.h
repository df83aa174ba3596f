#pragma once
// The receiver's charge configuration window: battery chemistry preset, number of cells, cell
// full-charge voltage and maximum charge current. Reloads the four receiver parameters when it
// is shown and, while it is shown, whenever the model reports a change; Apply (or OK, which
// hides the window first) writes what the form showed, then stages and commits it.
#include <cstdint>
#include <memory>

#include <QWidget>

#include "korvane/battery.h"

class ParameterModel;
class QDoubleValidator;
class QString;
class QShowEvent;
class Ui_ChargeConfig;

// Display names of the battery presets, indexed by korvane::BatteryChemistry (the combo box row
// and the value of the receiver's "Battery Chemistry" parameter).
inline constexpr char BatteryChemistryStr[6][32] = {
    "Custom", "Lithium Ion", "NiCad", "Lead Acid", "LiFePO4", "DJI M100",
};

// The nearest whole number of thousandths of a typed decimal: "4.015" (V) gives 4015 (mV),
// "0.251" (A) gives 251 (mA). The text uses "." as decimal point; 0 when it is not a number.
uint32_t TypedMillis(const QString& text);

class ChargeConfig : public QWidget {
  Q_OBJECT

 public:
  ChargeConfig(ParameterModel* model, QWidget* parent);
  ~ChargeConfig() override;

  // Applies one preset's limits: cell-count range, cell-voltage range and labels; the voltage
  // field shows the preset's highest cell voltage.
  void UpdateBattLimits(korvane::BatteryConfig cfg);
  // Loads the chemistry, cell count, cell voltage and charge current from the receiver.
  void UpdateData();
  // Recomputes the pack's float voltage from the cell voltage and count.
  void UpdateDisplayedFloatVoltage();

  // For the tests: what the window is built of.
  Ui_ChargeConfig* Form() const { return ui_.get(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ChemistryChanged(int row);
  void ModelChanged();
  void ApplyClicked();

  ParameterModel* model_;
  std::unique_ptr<Ui_ChargeConfig> ui_;
  QDoubleValidator* cell_voltage_validator_;
  QDoubleValidator* charge_current_validator_;
  // False while the cell count's text, as the user last typed it, is not one the spin box
  // accepts. The spin box puts its previous value back when it loses the focus (a click on
  // Apply takes it first), so the refusal is remembered from the typing itself.
  bool cells_acceptable_ = true;
  // True while Apply asks for confirmation: model changes then leave the form alone.
  bool asking_ = false;
};
