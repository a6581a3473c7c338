#pragma once

#include "intake/http_intake.h"

#include <string>

// What routing needs to know of an HTTPS request and of the listener.
struct HttpRequestSummary {
  std::string method;
  // The path with its query, as sent.
  std::string target;
  std::string transferEncoding;
  std::string contentType;
  // The listener no longer takes notifications.
  bool stopping = false;
  // The health answer waits for the database's.
  bool checksDatabase = false;
};

// Where a request goes: answered now, held for the database's answer, or
// on to its body's notifications.
struct HttpRoute {
  enum class Next { answer, checkDatabase, takeBatch };
  Next next = Next::answer;
  HttpAnswer answer;
  // The Allow header of a 405; empty otherwise.
  std::string allow;
};

// GET /v1/health and POST /v1/notifications; a query does not change the
// path. Everything else is 404, or 405 for a known path with another method.
HttpRoute routeHttp(const HttpRequestSummary& request);
