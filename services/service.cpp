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

void service::Setinterval_exec_time(int interval)
{
  interval_exec_time = interval;
  if (interval != 0)
    exec_weight = static_cast<float>(300000 / interval);
}

bool service::operator<(const service& other) const
{
  if (next_exec_time.tv_sec != other.next_exec_time.tv_sec)
    return next_exec_time.tv_sec < other.next_exec_time.tv_sec;
  return next_exec_time.tv_usec < other.next_exec_time.tv_usec;
}

bool service::operator>(const service& other) const
{
  if (next_exec_time.tv_sec != other.next_exec_time.tv_sec)
    return next_exec_time.tv_sec > other.next_exec_time.tv_sec;
  return next_exec_time.tv_usec > other.next_exec_time.tv_usec;
}

void service::Setparameter(std::string text)
{
  parameter = text;
  arguments = tokenizeParameter(text);
}

void service::SetAlertingParameter(std::string text)
{
  for (std::string& token : tokenizeParameter(text))
    alerting_arguments.push_back(std::move(token));
}

int serviceSyslog::GetReturnCode()
{
  std::lock_guard<std::mutex> guard(return_code_lock);
  return return_code;
}

void serviceSyslog::SetReturnCode(int code)
{
  std::lock_guard<std::mutex> guard(return_code_lock);
  return_code = code;
}
