#include "processing/host_order.h"

std::uint64_t HostOrder::take(const std::string& host)
{
  std::lock_guard<std::mutex> guard(lock_);
  return lines_[host].next++;
}

void HostOrder::waitTurn(const std::string& host, std::uint64_t ticket)
{
  std::unique_lock<std::mutex> lock(lock_);
  turnChanged_.wait(lock, [&] { return lines_[host].serving == ticket; });
}

void HostOrder::done(const std::string& host)
{
  {
    std::lock_guard<std::mutex> guard(lock_);
    Line& line = lines_[host];
    ++line.serving;
    if (line.serving == line.next)
      lines_.erase(host);
  }
  turnChanged_.notify_all();
}
