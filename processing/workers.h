#pragma once

#include "intake/notification.h"

#include <cstdint>
#include <deque>

// Worker thread body: takes notifications off executeService until
// die_quelm is set, then removes itself from threadList.
void* thread_execute_plugin(void* index);

// Handles one notification: finds the host's service, runs its plugin (up
// to three attempts), stores the state and, on a change, closes and opens
// error occurrences and starts the alerting program. While the database is
// away it waits with the result in hand; it gives up only when the daemon
// stops. Returns how the handling ended, for the sender.
Outcome handleNotification(const notification& item, std::int32_t threadNumber);

// The stop: logs each notification that no worker will handle and answers
// it "shutdown".
void answerUnhandled(std::deque<notification> left);
