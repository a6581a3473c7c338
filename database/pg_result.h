#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>

struct PgResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};

// Owner of a libpq result: whoever holds it releases it.
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

// Field text of a result; NULL reads back as an empty text.
inline std::string pgValue(const PgResult& result, int row, int column)
{
  return PQgetvalue(result.get(), row, column);
}
