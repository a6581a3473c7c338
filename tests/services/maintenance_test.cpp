#include "services/maintenance.h"

#include <gtest/gtest.h>

namespace {

timeval at(long seconds, long micros = 0) { return timeval { seconds, micros }; }

TEST(MaintenanceTest, WindowsIncludeBothBoundsInWholeSeconds)
{
  Maintenance table;
  table.add(1, 7, 11, at(100, 900000), at(200, 1), 12);
  EXPECT_EQ(table.isMaintenanceAt(7, 99), 0);
  EXPECT_EQ(table.isMaintenanceAt(7, 100), 1);
  EXPECT_EQ(table.isMaintenanceAt(7, 200), 1);
  EXPECT_EQ(table.isMaintenanceAt(7, 201), 0);

  MaintenanceWindow window = table.getMaintenanceInformationAt(7, 150);
  EXPECT_EQ(window.info, 11);
  EXPECT_EQ(window.plannedId, 1);
  EXPECT_EQ(window.extra, 12);
  EXPECT_EQ(window.start.tv_usec, 900000);
  EXPECT_EQ(table.getMaintenanceInformationAt(7, 201).info, 0);

  EXPECT_EQ(table.isMaintenance(8), 0);
  EXPECT_EQ(table.getMaintenanceInformation(8).info, 0);
}

TEST(MaintenanceTest, FirstWindowInForceAndTheRealClock)
{
  Maintenance table;
  std::time_t now = std::time(nullptr);
  table.add(1, 3, 10, at(now - 3600), at(now - 1800), 0);
  table.add(2, 3, 20, at(now - 60), at(now + 3600), 0);
  table.add(3, 3, 30, at(now - 30), at(now + 3600), 0);
  EXPECT_EQ(table.isMaintenance(3), 1);
  EXPECT_EQ(table.getMaintenanceInformation(3).info, 20);
}

TEST(MaintenanceTest, PlannedIdCreatesOneWindowOnly)
{
  Maintenance table;
  table.add(5, 1, 10, at(100), at(200), 0);
  table.add(5, 2, 20, at(100), at(200), 0);
  table.add(5, 1, 30, at(100), at(200), 0);
  EXPECT_EQ(table.isPlannedIdPresent(5), 1);
  EXPECT_EQ(table.isPlannedIdPresent(6), 0);
  EXPECT_EQ(table.isMaintenanceAt(2, 150), 0);
  EXPECT_EQ(table.getMaintenanceInformationAt(1, 150).info, 10);
}

TEST(MaintenanceTest, CleaningDropsTheWholeKeyAndOnlyTheMatchingPlannedId)
{
  Maintenance table;
  table.add(1, 9, 10, at(100), at(200), 0); // A, ended from 201 on
  table.add(2, 9, 20, at(400), at(500), 0); // B
  table.cleanAt(9, 200);
  EXPECT_EQ(table.isMaintenanceAt(9, 450), 1);
  table.cleanAt(9, 201);
  EXPECT_EQ(table.isMaintenanceAt(9, 450), 0);
  EXPECT_EQ(table.isPlannedIdPresent(1), 0);
  EXPECT_EQ(table.isPlannedIdPresent(2), 1);
  table.add(2, 9, 20, at(400), at(500), 0);
  EXPECT_EQ(table.isMaintenanceAt(9, 450), 0);
  table.add(1, 9, 10, at(100), at(200), 0);
  EXPECT_EQ(table.isMaintenanceAt(9, 150), 1);

  table.add(3, 4, 30, at(100), at(200), 0);
  table.clean(4, 99);
  EXPECT_EQ(table.isMaintenanceAt(4, 150), 1);
  table.clean(4, 3);
  EXPECT_EQ(table.isMaintenanceAt(4, 150), 0);
  EXPECT_EQ(table.isPlannedIdPresent(3), 0);
}

TEST(MaintenanceTest, KeysFoldToTheirLow32Bits)
{
  Maintenance table;
  table.add(1, 1, 10, at(100), at(200), 0);
  table.add(2, 4294967297ul, 20, at(300), at(400), 0);
  EXPECT_EQ(table.getMaintenanceInformationAt(4294967297ul, 150).info, 10);
  EXPECT_EQ(table.getMaintenanceInformationAt(1, 350).info, 20);
  table.clean(4294967297ul, 1);
  EXPECT_EQ(table.isMaintenanceAt(1, 350), 0);
}

} // namespace
