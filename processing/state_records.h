#pragma once

#include "database/pg_connection.h"
#include "database/statements.h"
#include "services/service.h"

#include <cstdint>
#include <optional>
#include <string>

// The statements of a service's transition, on a connection in exclusive
// use (inside the transition's transaction). One convention for all: a
// refused statement throws StatementRefused, a lost connection
// ConnectionLost; what to log and whether to go on is the caller's. None
// changes the service object.

// Stores the state and output in the service row; false when the row is
// gone (the service was deleted).
bool updateState(PgConnection::Exclusive& use, const Service& svc, ServiceState state, const std::string& output);
// Opens an occurrence of the error id with the output as its message.
void openOccurrence(
    PgConnection::Exclusive& use, const Service& svc, const std::string& errorId, const std::string& output);
// Closes every open occurrence of the service, whatever its state: one left
// open by a return to OK without the OK response is closed by the next error
// or by the cleaner, so that a service never has two open at once.
void closeOccurrences(PgConnection::Exclusive& use, const Service& svc);
// The newest open occurrence of the service; none when there is none.
std::optional<std::uint64_t> openOccurrenceId(PgConnection::Exclusive& use, const Service& svc);
// Cluster mode's fence: takes the service's transaction advisory lock, then
// reads its stored state with the row locked until the end of the
// transaction; none when the row is gone.
std::optional<ServiceState> lockedState(PgConnection::Exclusive& use, const Service& svc);
// How many open occurrences of the service are older than the interval.
int staleOccurrences(PgConnection::Exclusive& use, const std::string& serviceId, const std::string& interval);
// Error id (decimal text) of a state's error name, empty when none.
std::string errorIdOf(const ErrorIds& errorIds, ServiceState state);

// What a write is recorded under, so that it happens once: the
// notification's id, or a token made for it. The transaction that writes
// the state records it; one that finds it recorded writes nothing.
struct WriteToken {
  std::string value;
  // The sender gave it: a record of it may be a copy's.
  bool fromSender = false;
};
// A token of the Receiver's own: random, for a notification without an id
// and for the cleaner's writes.
WriteToken madeToken();
// The notification's id as its token, or a made one when it has none.
WriteToken tokenFor(const std::string& notificationId);
