#pragma once
#include <cstdint>

namespace korvane {

// Battery preset index; the receiver's "Battery Chemistry" parameter holds the same number.
enum class BatteryChemistry : uint8_t {
  CUSTOM = 0,
  LITHIUM_ION = 1,
  NICAD = 2,
  LEAD_ACID = 3,
  LIFEPO4 = 4,
  DJI_M100 = 5,
};

// One battery preset: the allowed range of the cell full-charge voltage, in mV.
struct BatteryConfig {
  BatteryChemistry chemistry;
  uint16_t min_cell_mv;
  uint16_t max_cell_mv;
  // Carried with the preset; the host does not use them.
  uint16_t third_value;
  uint16_t fourth_value;

  // Fewest cells whose full-charge voltage at max_cell_mv reaches mv (mv / max_cell_mv rounded
  // up), cut to 8 bits.
  uint8_t GetMinCells(unsigned int mv) const {
    if (max_cell_mv == 0) return 0;  // only a hand-made preset can have no divisor
    uint8_t cells = static_cast<uint8_t>(mv / max_cell_mv);
    if (mv % max_cell_mv != 0) cells = static_cast<uint8_t>(cells + 1);
    return cells;
  }

  // Most cells allowed for a pack voltage of mv. Custom allows any count up to 99 and the
  // DJI M100 pack always has 6 cells; otherwise mv / max_cell_mv rounded down, cut to 8 bits.
  uint8_t GetMaxCells(unsigned int mv) const {
    if (chemistry == BatteryChemistry::CUSTOM) return 99;
    if (chemistry == BatteryChemistry::DJI_M100) return 6;
    if (max_cell_mv == 0) return 0;
    return static_cast<uint8_t>(mv / max_cell_mv);
  }
};

// The preset of a chemistry. A number without a preset (above 5) gives the Custom preset.
inline BatteryConfig GetBatteryConfigInfo(unsigned char chemistry) {
  static constexpr BatteryConfig BattChemConfig[] = {
      {BatteryChemistry::CUSTOM, 64, 12030, 125, 150},
      {BatteryChemistry::LITHIUM_ION, 3000, 4200, 125, 150},
      {BatteryChemistry::NICAD, 488, 1550, 150, 100},
      {BatteryChemistry::LEAD_ACID, 1930, 2440, 275, 100},
      {BatteryChemistry::LIFEPO4, 2500, 3650, 275, 150},
      {BatteryChemistry::DJI_M100, 3000, 4350, 125, 100},
  };
  constexpr unsigned kRows = sizeof(BattChemConfig) / sizeof(BattChemConfig[0]);
  static_assert(kRows == 6, "one preset per chemistry");
  return chemistry < kRows ? BattChemConfig[chemistry] : BattChemConfig[0];
}

inline BatteryConfig GetBatteryConfigInfo(BatteryChemistry chemistry) {
  return GetBatteryConfigInfo(static_cast<unsigned char>(chemistry));
}

}  // namespace korvane
