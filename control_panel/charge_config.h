#pragma once
// The receiver's charge configuration window: battery chemistry preset, number of cells, cell
// full-charge voltage and maximum charge current. Reloads the four receiver parameters when it
// is shown and whenever the model reports a change; Apply (or OK, which hides the window first)
// writes, stages and commits them.
#include <memory>

#include <QWidget>

#include "korvane/battery.h"

class ParameterModel;
class QDoubleValidator;
class QShowEvent;
class Ui_ChargeConfig;

// Display names of the battery presets, indexed by korvane::BatteryChemistry (the combo box row
// and the value of the receiver's "Battery Chemistry" parameter).
inline constexpr char BatteryChemistryStr[6][32] = {
    "Custom", "Lithium Ion", "NiCad", "Lead Acid", "LiFePO4", "DJI M100",
};

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
  void ApplyClicked();

  ParameterModel* model_;
  std::unique_ptr<Ui_ChargeConfig> ui_;
  QDoubleValidator* cell_voltage_validator_;
  QDoubleValidator* charge_current_validator_;
};
