#pragma once

#include "core/lock_guarded.h"

#include <sys/time.h>

#include <ctime>
#include <map>
#include <vector>

// One maintenance window. info and extra belong to the caller.
struct MaintenanceWindow {
  int info = 0;
  timeval start {};
  timeval end {};
  int plannedId = 0;
  int extra = 0;
};

// Maintenance windows grouped by key, with the planned-maintenance ids they
// came from. Keys are kept as their low 32 bits; only whole seconds are
// compared, both bounds of a window included.
class Maintenance {
public:
  Maintenance() = default;
  Maintenance(const Maintenance&) = delete;
  Maintenance& operator=(const Maintenance&) = delete;

  // Ignored when plannedId is already registered, whatever the key.
  void add(int plannedId, unsigned long key, int info, timeval start, timeval end, int extra);
  // 1 when one of the key's windows is in force, else 0.
  int isMaintenance(unsigned long key);
  // The first window of the key in force, or a record whose info is 0.
  MaintenanceWindow getMaintenanceInformation(unsigned long key);
  // Drops all the key's windows once one of them has ended; only that
  // window's planned id is unregistered.
  void clean(unsigned long key);
  // Drops all the key's windows when one of them belongs to plannedId; only
  // that planned id is unregistered.
  void clean(unsigned long key, int plannedId);
  int isPlannedIdPresent(int plannedId);

  // The same, against a given current time in seconds.
  int isMaintenanceAt(unsigned long key, std::time_t now);
  MaintenanceWindow getMaintenanceInformationAt(unsigned long key, std::time_t now);
  void cleanAt(unsigned long key, std::time_t now);

private:
  static int keyOf(unsigned long key) { return static_cast<int>(static_cast<unsigned int>(key)); }
  static std::time_t currentSeconds();

  struct Windows {
    std::map<int, std::vector<MaintenanceWindow>> byKey;
    std::map<int, int> plannedIds;

    // The key's first window in force at now, or none.
    const MaintenanceWindow* inForce(int key, std::time_t now) const;
    // Drops the key's windows when one of them matches.
    template <typename Match> void clean(int key, Match match);
  };
  LockGuarded<Windows> windows_;
};
