#pragma once

#include "database/pg_result.h"
#include "services/service_registry.h"

#include <chrono>
#include <map>
#include <string>

class PgPool;

// What the loader files for the cleaning thread, per device: after how long
// an open error of the host's service is closed automatically.
struct AutoAcknowledgement {
  std::string host;
  // A PostgreSQL interval text such as "5 minute".
  std::string interval;
  std::string serviceId;
};

// By device (the low 32 bits of its id). Written by the loader, read by the
// cleaning thread; after start-up only the cleaning thread uses it.
using AutoAcknowledgements = std::map<int, AutoAcknowledgement>;

// The bound on the answer to the service query, longer than a statement's.
inline constexpr std::chrono::milliseconds serviceLoadTimeout { 300000 };

// Runs the named prepared service query on the pool and registers every
// row as a SyslogService in the registry, with its automatic-acknowledgement
// entry. A failure of the query itself reaches the caller as DatabaseError;
// a row that cannot be loaded is logged and skipped.
void loadServices(
    PgPool& pool, const std::string& name, ServiceRegistry& registry, AutoAcknowledgements& acknowledgements);

// The parameter text with its "$" macros expanded from the given row of
// the service query.
std::string replaceServiceParameter(std::string parameter, const PgResult& result, int row);

// Start-up: prepares reloadService and AddnewService on every pooled
// connection, logs "LOAD SERVICE" and loads every syslog service.
void prepareAndLoadServices(PgPool& pool, ServiceRegistry& registry, AutoAcknowledgements& acknowledgements);
