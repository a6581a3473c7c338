#pragma once

#include <atomic>
#include <chrono>

// Tells the runs in progress that the daemon is stopping. A run still going
// `grace` after the stop was raised is stopped with its process group, so
// that a stop always ends, whatever the programs do: one grace for the whole
// stop, however late a run started. Raised once, it stays raised.
class RunCancel {
public:
  RunCancel();
  ~RunCancel();
  RunCancel(const RunCancel&) = delete;
  RunCancel& operator=(const RunCancel&) = delete;

  void raise();
  bool raised() const;
  // When runs still going are stopped: a grace after the first raise().
  std::chrono::steady_clock::time_point deadline() const;
  // Readable once raised: runs wait on it with their pipes.
  int fd() const { return fd_; }

  static constexpr std::chrono::seconds grace { 5 };

private:
  int fd_;
  std::atomic<std::chrono::steady_clock::rep> raisedAt_ { 0 };
};
