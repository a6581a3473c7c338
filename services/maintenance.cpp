#include "services/maintenance.h"

namespace {

bool inForce(const MaintenanceWindow& window, std::time_t now)
{
  return window.start.tv_sec <= now && now <= window.end.tv_sec;
}

} // namespace

std::time_t Maintenance::currentSeconds()
{
  timeval now {};
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

void Maintenance::add(int plannedId, unsigned long key, int info, timeval start, timeval end, int extra)
{
  std::lock_guard<std::mutex> guard(lock);
  // A planned maintenance creates at most one window.
  if (plannedIds.count(plannedId) != 0)
    return;
  plannedIds[plannedId] = keyOf(key);
  MaintenanceWindow window;
  window.info = info;
  window.start = start;
  window.end = end;
  window.plannedId = plannedId;
  window.extra = extra;
  windows[keyOf(key)].push_back(window);
}

int Maintenance::isMaintenance(unsigned long key) { return isMaintenanceAt(key, currentSeconds()); }

int Maintenance::isMaintenanceAt(unsigned long key, std::time_t now)
{
  std::lock_guard<std::mutex> guard(lock);
  auto found = windows.find(keyOf(key));
  if (found == windows.end())
    return 0;
  for (const MaintenanceWindow& window : found->second) {
    if (inForce(window, now))
      return 1;
  }
  return 0;
}

MaintenanceWindow Maintenance::getMaintenanceInformation(unsigned long key)
{
  return getMaintenanceInformationAt(key, currentSeconds());
}

MaintenanceWindow Maintenance::getMaintenanceInformationAt(unsigned long key, std::time_t now)
{
  std::lock_guard<std::mutex> guard(lock);
  auto found = windows.find(keyOf(key));
  if (found != windows.end()) {
    for (const MaintenanceWindow& window : found->second) {
      if (inForce(window, now))
        return window;
    }
  }
  return MaintenanceWindow {};
}

template <typename Match> void Maintenance::cleanLocked(int key, Match match)
{
  auto found = windows.find(key);
  if (found == windows.end())
    return;
  for (const MaintenanceWindow& window : found->second) {
    if (match(window)) {
      plannedIds.erase(window.plannedId);
      // The whole list goes; the other windows' planned ids stay registered.
      windows.erase(found);
      return;
    }
  }
}

void Maintenance::clean(unsigned long key) { cleanAt(key, currentSeconds()); }

void Maintenance::cleanAt(unsigned long key, std::time_t now)
{
  std::lock_guard<std::mutex> guard(lock);
  cleanLocked(keyOf(key), [now](const MaintenanceWindow& window) { return window.end.tv_sec < now; });
}

void Maintenance::clean(unsigned long key, int plannedId)
{
  std::lock_guard<std::mutex> guard(lock);
  cleanLocked(keyOf(key), [plannedId](const MaintenanceWindow& window) { return window.plannedId == plannedId; });
}

int Maintenance::isPlannedIdPresent(int plannedId)
{
  std::lock_guard<std::mutex> guard(lock);
  return plannedIds.count(plannedId) != 0 ? 1 : 0;
}
