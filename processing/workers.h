#pragma once

#include <cstdint>

struct notification;

// Worker thread body: takes notifications off executeService until
// die_quelm is set, then removes itself from threadList.
void* thread_execute_plugin(void* index);

// Handles one notification: finds the host's service, runs its plugin (up
// to three attempts), stores the state and, on a change, closes and opens
// error occurrences and starts the alerting program.
void handleNotification(const notification& item, std::int32_t threadNumber);
