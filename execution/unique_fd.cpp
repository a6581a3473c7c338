#include "execution/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

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
int liftAboveStandard(UniqueFd& fd)
{
  if (fd.get() > 2)
    return 0;
  int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (lifted < 0)
    return errno;
  fd.reset(lifted);
  return 0;
}

} // namespace

int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd)
{
  int ends[2] = { -1, -1 };
  if (::pipe2(ends, O_CLOEXEC) != 0)
    return errno;
  UniqueFd reader(ends[0]);
  UniqueFd writer(ends[1]);
  if (int error = liftAboveStandard(reader))
    return error;
  if (int error = liftAboveStandard(writer))
    return error;
  readEnd = std::move(reader);
  writeEnd = std::move(writer);
  return 0;
}
