#include "korvane/battery.h"

#include <gtest/gtest.h>

using korvane::BatteryChemistry;
using korvane::GetBatteryConfigInfo;

namespace {

struct Row {
  BatteryChemistry chemistry;
  uint16_t min_cell_mv, max_cell_mv, third, fourth;
  int min_cells_12030, max_cells_36000;
};

// The presets and what the charge dialog derives from them.
const Row kRows[] = {
    {BatteryChemistry::CUSTOM, 64, 12030, 125, 150, 1, 99},
    {BatteryChemistry::LITHIUM_ION, 3000, 4200, 125, 150, 3, 8},
    {BatteryChemistry::NICAD, 488, 1550, 150, 100, 8, 23},
    {BatteryChemistry::LEAD_ACID, 1930, 2440, 275, 100, 5, 14},
    {BatteryChemistry::LIFEPO4, 2500, 3650, 275, 150, 4, 9},
    {BatteryChemistry::DJI_M100, 3000, 4350, 125, 100, 3, 6},
};

}  // namespace

TEST(BatteryPresets, TableAndDialogRangesForEveryChemistry) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(static_cast<int>(row.chemistry));
    const auto byte = static_cast<unsigned char>(row.chemistry);
    EXPECT_EQ(byte, static_cast<unsigned char>(&row - kRows));
    for (const korvane::BatteryConfig& c :
         {GetBatteryConfigInfo(row.chemistry), GetBatteryConfigInfo(byte)}) {
      EXPECT_EQ(c.chemistry, row.chemistry);
      EXPECT_EQ(c.min_cell_mv, row.min_cell_mv);
      EXPECT_EQ(c.max_cell_mv, row.max_cell_mv);
      EXPECT_EQ(c.third_value, row.third);
      EXPECT_EQ(c.fourth_value, row.fourth);
      EXPECT_EQ(c.GetMinCells(12030), row.min_cells_12030);
      EXPECT_EQ(c.GetMaxCells(36000), row.max_cells_36000);
    }
  }
}

TEST(BatteryPresets, MinCellsRoundsUpOnlyWithARemainder) {
  const auto li = GetBatteryConfigInfo(BatteryChemistry::LITHIUM_ION);
  EXPECT_EQ(li.GetMinCells(8400), 2);
  EXPECT_EQ(li.GetMinCells(8401), 3);
  EXPECT_EQ(li.GetMinCells(8399), 2);
  EXPECT_EQ(li.GetMinCells(1), 1);
  EXPECT_EQ(GetBatteryConfigInfo(BatteryChemistry::CUSTOM).GetMinCells(12030), 1);
  EXPECT_EQ(GetBatteryConfigInfo(BatteryChemistry::CUSTOM).GetMinCells(12031), 2);
}

TEST(BatteryPresets, ZeroMillivolts) {
  for (const Row& row : kRows) {
    EXPECT_EQ(GetBatteryConfigInfo(row.chemistry).GetMinCells(0), 0);
  }
  EXPECT_EQ(GetBatteryConfigInfo(BatteryChemistry::CUSTOM).GetMaxCells(0), 99);
  EXPECT_EQ(GetBatteryConfigInfo(BatteryChemistry::DJI_M100).GetMaxCells(0), 6);
  EXPECT_EQ(GetBatteryConfigInfo(BatteryChemistry::LEAD_ACID).GetMaxCells(0), 0);
}

TEST(BatteryPresets, MaxCellsRoundsDownAndCountsAreEightBits) {
  const auto nicad = GetBatteryConfigInfo(BatteryChemistry::NICAD);
  EXPECT_EQ(nicad.GetMaxCells(3099), 1);
  EXPECT_EQ(nicad.GetMaxCells(3100), 2);
  // 256 and 257 cells' worth wrap to 0 and 1 in the 8-bit result.
  const auto li = GetBatteryConfigInfo(BatteryChemistry::LITHIUM_ION);
  EXPECT_EQ(li.GetMaxCells(256u * 4200u), 0);
  EXPECT_EQ(li.GetMinCells(256u * 4200u + 1u), 1);
}

TEST(BatteryPresets, ChemistryWithoutARowGivesCustom) {
  for (unsigned v : {6u, 7u, 100u, 255u}) {
    const auto c = GetBatteryConfigInfo(static_cast<unsigned char>(v));
    EXPECT_EQ(c.chemistry, BatteryChemistry::CUSTOM);
    EXPECT_EQ(c.max_cell_mv, 12030);
    const auto e = GetBatteryConfigInfo(static_cast<BatteryChemistry>(v));
    EXPECT_EQ(e.chemistry, BatteryChemistry::CUSTOM);
    EXPECT_EQ(e.min_cell_mv, 64);
  }
}

TEST(BatteryPresets, HandMadePresetWithoutDivisorDoesNotDivideByZero) {
  korvane::BatteryConfig c{BatteryChemistry::LITHIUM_ION, 0, 0, 0, 0};
  EXPECT_EQ(c.GetMinCells(5000), 0);
  EXPECT_EQ(c.GetMaxCells(5000), 0);
}
