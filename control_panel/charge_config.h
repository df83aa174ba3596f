#pragma once
// The receiver's charge configuration window: battery chemistry preset, number of cells, cell
// full-charge voltage and maximum charge current. Reloads the four receiver parameters when it
// is shown and whenever the model reports a change, shown or hidden (except while Apply waits for
// the user's confirmation); a value the receiver did not give is shown empty or unknown and Apply
// refuses until the user sets it. Apply (or OK, which hides the window first) writes what the
// form showed, then stages and commits it.
#include <cstdint>
#include <memory>
#include <optional>

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
  // Loads the chemistry, cell count, cell voltage and charge current from the receiver. The
  // values shown are the receiver's own: the chemistry's limits neither replace nor clamp them.
  void UpdateData();
  // Recomputes the pack's float voltage from the cell voltage and count; a voltage text that is
  // not a number counts as 0. Empty while the cell voltage or count loaded from the receiver is
  // unknown.
  void UpdateDisplayedFloatVoltage();

  // For the tests: what the window is built of.
  Ui_ChargeConfig* Form() const { return ui_.get(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ChemistryChanged(int row);
  void CellsChanged();
  void ModelChanged();
  void ApplyClicked();
  // The cell-count range, cell-voltage range and labels of a preset; fields are left alone, except
  // that a known cell count is clamped into the new range.
  void ApplyLimits(korvane::BatteryConfig cfg);
  // The cell count is unknown (its read failed, or the receiver holds a count outside the
  // preset's range) while the spin box shows its special text: the spin box then reaches one
  // step below the preset's range, and that step is the unknown count.
  bool CellsUnknown() const;
  // Adds or removes that step (signals blocked by the caller).
  void MarkCellsUnknown(bool unknown);
  // Shows a count, or the unknown count.
  void ShowCells(std::optional<int> count);
  // Whether Apply may take the spin box's count.
  bool CellsAcceptable() const;

  ParameterModel* model_;
  std::unique_ptr<Ui_ChargeConfig> ui_;
  QDoubleValidator* cell_voltage_validator_;
  QDoubleValidator* charge_current_validator_;
  // True once the user typed a cell count the spin box does not accept, until the spin box's value
  // is in sight again. The spin box puts its previous value back when it loses the focus, and a
  // click on Apply takes the focus before Apply runs: without this, Apply would write a value the
  // user did not see. Cleared by acceptable typing, a step of the spin box, any loss of focus but
  // to Apply or OK (another field, window or application), a load, and the refusal Apply reports.
  bool cells_typed_refused_ = false;
  // True while the cell voltage field is empty because the receiver did not give it, until the
  // user edits the field or a preset fills it.
  bool voltage_unknown_ = false;
  // True while Apply asks for confirmation: model changes then leave the form alone.
  bool asking_ = false;
};
