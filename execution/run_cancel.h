#pragma once

#include <chrono>

// Tells the runs in progress that the daemon is stopping. A run still going
// `grace` after the stop is stopped with its process group, so that a stop
// always ends, whatever the programs do. Raised once, it stays raised.
class RunCancel {
public:
  RunCancel();
  ~RunCancel();
  RunCancel(const RunCancel&) = delete;
  RunCancel& operator=(const RunCancel&) = delete;

  void raise();
  bool raised() const;
  // Readable once raised: runs wait on it with their pipes.
  int fd() const { return fd_; }

  static constexpr std::chrono::seconds grace { 5 };

private:
  int fd_;
};
