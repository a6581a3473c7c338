#pragma once

#include <cstdint>
#include <optional>
#include <string>

class DatabaseWait;
class PgConnection;
class PgPool;
class Service;

// Cluster mode: Receivers that share one database serialise on it with
// PostgreSQL advisory locks. A service's lock has the service id as its
// one bigint key; the cleaning role's lock has two integer keys, a space of
// its own.

// Prepares the lock statements on every pooled connection.
void prepareClusterStatements(PgPool& pool);

// Holds the session advisory lock of one service, on one pooled connection,
// for its own life: it orders the Receivers' work on the service (one
// plugin run at a time). It does not make a write safe: a session that ends
// (a lost connection, a Receiver that dies) frees its locks on the server
// at any moment, so every write is fenced by its own transaction on the same
// connection (see ServiceTransition). It is taken by trying again every
// 10 ms, so the connection is never blocked while another Receiver handles
// the service; a lost connection is waited out. Throws DatabaseUnavailable
// when the daemon stops before the lock is taken.
class ServiceClusterLock {
public:
  ServiceClusterLock(PgPool& pool, const Service& svc, DatabaseWait& wait);
  ~ServiceClusterLock();
  // Whether the session that took the lock is still the connection's: a
  // reset since has ended it, and freed the lock on the server.
  bool held();
  // Takes the lock again after it was lost, as the constructor does.
  void retake(DatabaseWait& wait);
  // Whether the service had an alert left to run when the lock was taken.
  bool alertsPending() const { return alertsPending_; }
  // The connection whose session holds the lock: the service's transactions
  // run on it, where the transaction lock is the session's own.
  PgConnection& connection() { return *connection_; }
  ServiceClusterLock(const ServiceClusterLock&) = delete;
  ServiceClusterLock& operator=(const ServiceClusterLock&) = delete;

private:
  PgConnection* connection_;
  std::string serviceId_;
  std::optional<int> session_;
  bool alertsPending_ = false;
};

// The state stored in the service's row: another Receiver may have written
// it since this one loaded the service. None when the row is gone.
std::optional<int> storedState(PgPool& pool, const Service& svc, DatabaseWait& wait);

// Whether this Receiver has the cleaning role: true when the session of the
// connection holds its lock, taking it if it is free. The lock lives as long
// as that session; after a reconnect it is taken again here.
bool holdCleaningRole(PgConnection& connection);
