#pragma once

// A file descriptor owned by exactly one object and closed with it.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd)
      : fd_(fd)
  {
  }
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept
      : fd_(other.release())
  {
  }
  UniqueFd& operator=(UniqueFd&& other) noexcept
  {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release()
  {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes fd instead.
  void reset(int fd = -1);

private:
  int fd_ = -1;
};

// Makes a close-on-exec pipe whose two ends are both above the standard
// descriptors, so that redirecting 0 and 1 in a child never overwrites one.
// Throws std::system_error with the errno of the failing call.
void makePipe(UniqueFd& readEnd, UniqueFd& writeEnd);

// Sets O_NONBLOCK on the descriptor; false when fcntl fails.
bool setNonBlocking(int fd);
