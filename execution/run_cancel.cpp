#include "execution/run_cancel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

RunCancel::RunCancel()
    : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
  if (fd_ < 0)
    throw std::system_error(errno, std::generic_category(), "eventfd");
}

RunCancel::~RunCancel() { ::close(fd_); }

void RunCancel::raise()
{
  std::chrono::steady_clock::rep none = 0;
  raisedAt_.compare_exchange_strong(none, std::chrono::steady_clock::now().time_since_epoch().count());
  // The counter is never read back, so the descriptor stays readable.
  std::uint64_t one = 1;
  ssize_t wrote = ::write(fd_, &one, sizeof one);
  (void)wrote;
}

bool RunCancel::raised() const
{
  struct pollfd check = { fd_, POLLIN, 0 };
  return ::poll(&check, 1, 0) == 1;
}

std::chrono::steady_clock::time_point RunCancel::deadline() const
{
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(raisedAt_.load())) + grace;
}
