#include "services/maintenance.h"

std::time_t Maintenance::currentSeconds()
{
  timeval now {};
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

const MaintenanceWindow* Maintenance::Windows::inForce(int key, std::time_t now) const
{
  auto found = byKey.find(key);
  if (found == byKey.end())
    return nullptr;
  for (const MaintenanceWindow& window : found->second) {
    if (window.start.tv_sec <= now && now <= window.end.tv_sec)
      return &window;
  }
  return nullptr;
}

void Maintenance::add(int plannedId, unsigned long key, int info, timeval start, timeval end, int extra)
{
  auto windows = windows_.lock();
  // A planned maintenance creates at most one window.
  if (windows->plannedIds.count(plannedId) != 0)
    return;
  windows->plannedIds[plannedId] = keyOf(key);
  MaintenanceWindow window;
  window.info = info;
  window.start = start;
  window.end = end;
  window.plannedId = plannedId;
  window.extra = extra;
  windows->byKey[keyOf(key)].push_back(window);
}

int Maintenance::isMaintenance(unsigned long key) { return isMaintenanceAt(key, currentSeconds()); }

int Maintenance::isMaintenanceAt(unsigned long key, std::time_t now)
{
  return windows_.lock()->inForce(keyOf(key), now) != nullptr ? 1 : 0;
}

MaintenanceWindow Maintenance::getMaintenanceInformation(unsigned long key)
{
  return getMaintenanceInformationAt(key, currentSeconds());
}

MaintenanceWindow Maintenance::getMaintenanceInformationAt(unsigned long key, std::time_t now)
{
  auto windows = windows_.lock();
  const MaintenanceWindow* window = windows->inForce(keyOf(key), now);
  return window != nullptr ? *window : MaintenanceWindow {};
}

template <typename Match> void Maintenance::Windows::clean(int key, Match match)
{
  auto found = byKey.find(key);
  if (found == byKey.end())
    return;
  for (const MaintenanceWindow& window : found->second) {
    if (match(window)) {
      plannedIds.erase(window.plannedId);
      // The whole list goes; the other windows' planned ids stay registered.
      byKey.erase(found);
      return;
    }
  }
}

void Maintenance::clean(unsigned long key) { cleanAt(key, currentSeconds()); }

void Maintenance::cleanAt(unsigned long key, std::time_t now)
{
  windows_.lock()->clean(keyOf(key), [now](const MaintenanceWindow& window) { return window.end.tv_sec < now; });
}

void Maintenance::clean(unsigned long key, int plannedId)
{
  windows_.lock()->clean(
      keyOf(key), [plannedId](const MaintenanceWindow& window) { return window.plannedId == plannedId; });
}

int Maintenance::isPlannedIdPresent(int plannedId) { return windows_.lock()->plannedIds.count(plannedId) != 0 ? 1 : 0; }
