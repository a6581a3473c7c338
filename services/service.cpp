#include "services/service.h"

#include <boost/tokenizer.hpp>

std::vector<std::string> tokenizeParameter(const std::string& text)
{
  using Separator = boost::escaped_list_separator<char>;
  // No escape character: a backslash is an ordinary character.
  Separator separator(std::string(), std::string(" "), std::string("\"'"));
  boost::tokenizer<Separator> tokens(text, separator);
  std::vector<std::string> out;
  for (const std::string& token : tokens) {
    if (!token.empty())
      out.push_back(token);
  }
  return out;
}

void Service::setIntervalExecTime(int interval)
{
  intervalExecTime = interval;
  if (interval != 0)
    execWeight = static_cast<float>(300000 / interval); // NOLINT(bugprone-integer-division): stored weights are whole
}

bool Service::operator<(const Service& other) const
{
  if (nextExecTime.tv_sec != other.nextExecTime.tv_sec)
    return nextExecTime.tv_sec < other.nextExecTime.tv_sec;
  return nextExecTime.tv_usec < other.nextExecTime.tv_usec;
}

bool Service::operator>(const Service& other) const
{
  if (nextExecTime.tv_sec != other.nextExecTime.tv_sec)
    return nextExecTime.tv_sec > other.nextExecTime.tv_sec;
  return nextExecTime.tv_usec > other.nextExecTime.tv_usec;
}

void Service::setParameter(const std::string& text)
{
  parameter = text;
  arguments = tokenizeParameter(text);
}

void Service::setAlertingParameter(const std::string& text)
{
  for (std::string& token : tokenizeParameter(text))
    alertingArguments.push_back(std::move(token));
}

bool responseFlagOf(const Service& service, ServiceState state)
{
  switch (state) {
  case ServiceState::warning:
    return service.responseWarning;
  case ServiceState::critical:
    return service.responseCritical;
  case ServiceState::unknown:
    return service.responseUnknown;
  default:
    return false;
  }
}
