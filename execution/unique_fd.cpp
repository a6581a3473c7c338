#include "execution/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

void UniqueFd::reset(int fd)
{
  if (fd_ >= 0) {
    int saved = errno;
    // A close interrupted by a signal has still released the descriptor.
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

namespace {

// Moves a descriptor that landed on 0, 1 or 2 (possible when the daemon's
// own standard streams are closed) above them.
void liftAboveStandard(UniqueFd& fd)
{
  if (fd.get() > 2)
    return;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0)
    throw std::system_error(errno, std::generic_category(), "fcntl");
  fd.reset(lifted);
}

} // namespace

void makePipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
  int ends[2] = { -1, -1 };
  if (::pipe2(ends, O_CLOEXEC) != 0)
    throw std::system_error(errno, std::generic_category(), "pipe2");
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  liftAboveStandard(reader);
  liftAboveStandard(writer);
  readEnd = std::move(reader);
  writeEnd = std::move(writer);
}

bool setNonBlocking(int fd)
{
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) >= 0;
}
