#pragma once

#include <stdexcept>
#include <string>

// The root of every failure the daemon's own code throws. what() is the
// message that is logged or written; the kinds below it say which part
// failed (configuration, database, listener, program run).
class ReceiverError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
