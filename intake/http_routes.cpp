#include "intake/http_routes.h"

HttpRoute routeHttp(const HttpRequestSummary& request)
{
  const std::string path = request.target.substr(0, request.target.find('?'));
  const char* allowed = path == "/v1/health" ? "GET" : path == "/v1/notifications" ? "POST" : nullptr;
  HttpRoute route;
  if (allowed == nullptr) {
    route.answer = errorAnswer(404, "no such path");
  } else if (request.method != allowed) {
    route.answer = errorAnswer(405, std::string("only ") + allowed);
    route.allow = allowed;
  } else if (path == "/v1/health") {
    if (request.stopping)
      route.answer = statusAnswer(503, "stopping", 5);
    else if (!request.checksDatabase)
      route.answer = statusAnswer(200, "ok");
    else
      route.next = HttpRoute::Next::checkDatabase;
  } else if (std::optional<HttpAnswer> refused = headersRefusal(request.transferEncoding, request.contentType)) {
    route.answer = *refused;
  } else {
    route.next = HttpRoute::Next::takeBatch;
  }
  return route;
}
