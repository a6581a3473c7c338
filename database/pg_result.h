#pragma once

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <string>

struct PgResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};

// Owner of a libpq result: whoever holds it releases it.
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

// Rows a command changed (INSERT, UPDATE, DELETE); 0 for any other.
inline long long affectedRows(const PgResult& result)
{
  const char* text = PQcmdTuples(result.get());
  return text[0] == '\0' ? 0 : std::strtoll(text, nullptr, 10);
}

// Field text of a result; NULL reads back as an empty text.
inline std::string pgValue(const PgResult& result, int row, int column)
{
  return PQgetvalue(result.get(), row, column);
}
