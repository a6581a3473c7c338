#pragma once

#include "database/database_error.h"

// What a database step that failed does next.
enum class RetryAction { now, afterPause, giveUp };

// The one rule for retrying a failed database step, consulted wherever one
// is retried; failures counts the step's failures in a row, this one
// included. A lost connection (a lock held elsewhere, a commit in doubt) is
// tried again at once: the connection found lost is reset by its next use,
// as after a server restart, and that is often all it takes. Failing again,
// it waits for a pause first, and so does a server that cannot write yet;
// the count then starts again, so the next try after a pause is made at
// once as well. A refusal, or a stop, is given up.
inline RetryAction retryAction(const DatabaseError& error, int failures)
{
  if (dynamic_cast<const ServerReadOnly*>(&error) != nullptr)
    return RetryAction::afterPause;
  if (dynamic_cast<const ConnectionLost*>(&error) == nullptr)
    return RetryAction::giveUp;
  return failures % 2 == 1 ? RetryAction::now : RetryAction::afterPause;
}
