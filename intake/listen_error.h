#pragma once

#include "core/errors.h"

// A failure of the notification server, such as "bad listen".
class ListenError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};
